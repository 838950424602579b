// What the kernel tells about a process: its exact run time, its memory and
// its children.  Parsing is kept apart from reading so it can be checked on
// fixed texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace bench {

// /proc/PID/schedstat: time run and time waited on a run queue, exact where
// /proc/PID/stat is rounded to clock ticks, and how many times the process
// was put on a processor (about once per wake-up for a process that sleeps
// between short bursts).
struct SchedStat {
    uint64_t runNs = 0;
    uint64_t waitNs = 0;
    uint64_t timeslices = 0;
};
std::optional<SchedStat> parseSchedstatFields(std::string_view text);
std::optional<SchedStat> schedStat(pid_t pid);

// Run time in nanoseconds, the first field.
std::optional<uint64_t> parseSchedstat(std::string_view text);
std::optional<uint64_t> runTimeNs(pid_t pid);
// The third field.
std::optional<uint64_t> parseTimeslices(std::string_view text);
std::optional<uint64_t> timeslices(pid_t pid);
uint64_t ownRunTimeNs(); // this process, all its threads

// The value in kB of a "Name:   123 kB" line of /proc/PID/status or smaps_rollup.
std::optional<uint64_t> fieldKib(std::string_view text, std::string_view name);

struct MemoryUse {
    uint64_t peakResidentKib = 0; // VmHWM
    uint64_t anonymousKib = 0;    // Anonymous: every anonymous page mapped, also those shared with a parent
    uint64_t privateDirtyKib = 0; // Private_Dirty: pages no other process maps
};
std::optional<MemoryUse> memoryUse(pid_t pid);

// Process ids listed in /proc/PID/task/PID/children ("12 34 ").
std::vector<pid_t> parsePidList(std::string_view text);
std::vector<pid_t> childrenOf(pid_t pid);

std::string cpuModel();
std::string readFile(const std::string& path);

} // namespace bench
