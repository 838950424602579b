// What the fault, hostile-input, soak and flag-race tests share: the fault
// library's environment, audio patterns and a look at the processes a
// daemon left behind.  Scratch folders and file helpers are the kit's.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

#include "scratch_dir.h"
#include "whole_file.h"

namespace reliab {

// The environment that preloads the fault library with `rules` and logs each
// injected fault to `log`.  The sanitizer build wants its runtime first in
// the library list; the fault library must come first to see the calls.
inline std::vector<std::string> faultEnv(const std::string& rules, const std::string& log)
{
    std::string asan = "verify_asan_link_order=0";
    if (const char* current = getenv("ASAN_OPTIONS"); current && *current)
        asan = std::string(current) + ":" + asan;
    return {std::string("LD_PRELOAD=") + ORVEX_FAULTS_LIBRARY, "ORVEX_FAULTS=" + rules, "ORVEX_FAULT_LOG=" + log,
            "ASAN_OPTIONS=" + asan};
}

// Lines of `text` that contain `part`.
inline size_t countLines(const std::string& text, const std::string& part)
{
    size_t n = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        n += line.find(part) != std::string::npos;
    return n;
}

// Faults the library injected, one line each.
inline int faultsFired(const std::string& log)
{
    std::string text = kit::readText(log);
    int n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}

// Audio that is easy to check: every byte value, in an order that does not
// repeat within a chunk, and no two files alike.
inline std::vector<uint8_t> pattern(size_t size, uint32_t seed = 1)
{
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed * 2654435761u + 12345u;
    for (auto& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

inline bool startsWith(const std::vector<uint8_t>& whole, const std::vector<uint8_t>& prefix, size_t length)
{
    return length <= whole.size() && length <= prefix.size() &&
           std::equal(prefix.begin(), prefix.begin() + static_cast<long>(length), whole.begin());
}

// Processes still in the group `pgid` (alive or not yet reaped).  Once the
// daemon has been waited for, any member is a worker it did not wait for.
inline std::vector<pid_t> groupMembers(pid_t pgid)
{
    std::vector<pid_t> members;
    DIR* proc = opendir("/proc");
    if (!proc)
        return members;
    while (dirent* entry = readdir(proc)) {
        char* end;
        long pid = strtol(entry->d_name, &end, 10);
        if (*end || pid <= 0)
            continue;
        std::string text = kit::readText("/proc/" + std::string(entry->d_name) + "/stat");
        size_t close = text.rfind(')');
        char state;
        long ppid, pgrp;
        if (close == std::string::npos || sscanf(text.c_str() + close + 1, " %c %ld %ld", &state, &ppid, &pgrp) != 3)
            continue;
        if (pgrp == pgid)
            members.push_back(static_cast<pid_t>(pid));
    }
    closedir(proc);
    return members;
}

// Open descriptors of a process.
inline int descriptorCount(pid_t pid)
{
    int n = 0;
    if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// Waits until a process that need not be our child has ended; killed but
// not yet reaped counts, since it can change nothing any more.
inline bool waitEnded(pid_t pid, std::chrono::milliseconds timeout)
{
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0)
        return errno == ESRCH;
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(timeout.count()));
    close(fd);
    return r == 1;
}

// True while a process sleeps in a system call.  A pump whose last bytes
// have crossed and which sleeps again waits for the next ones: it is past
// every look at the control block those bytes led to (a pump preempted
// between its device write and its taping check is runnable, not asleep).
inline bool asleep(pid_t pid)
{
    std::string text = kit::readText("/proc/" + std::to_string(pid) + "/stat");
    size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S';
}

// Private memory of a process in kB (Private_Clean + Private_Dirty), -1 if unknown.
inline long privateKb(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string key;
    long total = -1;
    while (f >> key) {
        long kb;
        if (key == "Private_Clean:" || key == "Private_Dirty:") {
            f >> kb;
            total = (total < 0 ? 0 : total) + kb;
        }
        f.ignore(1 << 20, '\n');
    }
    return total;
}

// The process id in a "... = <pid>" text after `key`, or 0.
inline pid_t pidAfter(const std::string& text, const std::string& key)
{
    size_t at = text.find(key);
    if (at == std::string::npos)
        return 0;
    return static_cast<pid_t>(atoi(text.c_str() + at + key.size()));
}

} // namespace reliab
