// callctl stop SEGID: ends a run whose callctl is gone, and removes its
// segment.
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/shm.h>
#include <thread>
#include <unistd.h>

#include "command_line.h"
#include "commands.h"
#include "control_block.h"
#include "segment_users.h"

namespace callctl {

namespace {

const char* stopUsage =
    "usage: callctl stop SEGID [--force]\n"
    "\n"
    "Ends the daemons of a run whose callctl is gone (killed, or lost with its\n"
    "terminal) and removes its control block, System V segment SEGID.  The\n"
    "daemons are asked to end as callctl asks them; those still running after\n"
    "3 seconds get SIGTERM, then SIGKILL.\n"
    "\n"
    "  --force   also when the callctl that made the segment still runs\n";

// A zombie has ended; only its parent's wait is missing.
bool processAlive(pid_t pid)
{
    if (pid <= 0 || (kill(pid, 0) != 0 && errno != EPERM))
        return false;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* f = fopen(path, "r");
    if (!f)
        return false;
    char state = '?';
    int matched = fscanf(f, "%*d (%*[^)]) %c", &state);
    fclose(f);
    return matched != 1 || state != 'Z';
}

// Whether `pid` runs a program named callctl.
bool isCallctl(pid_t pid)
{
    char path[64], target[PATH_MAX];
    snprintf(path, sizeof path, "/proc/%d/exe", static_cast<int>(pid));
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0)
        return false;
    target[n] = '\0';
    const char* base = strrchr(target, '/');
    return strcmp(base ? base + 1 : target, "callctl") == 0;
}

bool waitUntilGone(const std::vector<pid_t>& pids, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        bool any = false;
        for (pid_t p : pids)
            any = any || processAlive(p);
        if (!any)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

} // namespace

int stopCommand(const Args& args)
{
    ScannedArgs a;
    std::string error;
    if (!scanArguments(args, {{"--force", false}}, &a, &error))
        return usageError("stop", error);
    if (a.help)
        return printUsage(stopUsage);
    if (a.positional.size() != 1)
        return usageError("stop", a.positional.empty() ? "no segment id given"
                                                       : "one segment id, not " + std::to_string(a.positional.size()));
    long id = 0;
    if (!parseNumber("segment id", a.positional[0], 0, INT_MAX, &id, &error))
        return usageError("stop", error);
    int segment = static_cast<int>(id);

    struct shmid_ds info;
    if (shmctl(segment, IPC_STAT, &info) != 0)
        return failure("stop", "no shared memory segment " + std::to_string(id) + ": " + strerror(errno));
    if (info.shm_segsz < controlBlockSize)
        return failure("stop", "segment " + std::to_string(id) + " holds " + std::to_string(info.shm_segsz) +
                                   " bytes: not a control block");
    if (processAlive(info.shm_cpid) && isCallctl(info.shm_cpid) && !has(a, "--force"))
        return failure("stop", "segment " + std::to_string(id) + " belongs to callctl " +
                                   std::to_string(info.shm_cpid) +
                                   ", which still runs: end it there (q or Ctrl-C), or give --force");

    void* address = shmat(segment, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1))
        return failure("stop", "can't attach segment " + std::to_string(id) + ": " + strerror(errno));
    // The daemons; never the application that made the segment.
    std::vector<pid_t> users;
    for (pid_t p : processesAttachedTo(segment))
        if (p != info.shm_cpid)
            users.push_back(p);
    ControlBlock* cb = static_cast<ControlBlock*>(address);
    writeWord(cb->stopRequest, 1);
    writeWord(cb->a2tRunning, 0);
    writeWord(cb->t2aRunning, 0);
    writeWord(cb->playRunning, 0);
    writeWord(cb->recordRunning, 0);
    shmdt(address);

    size_t ended = users.size();
    if (!waitUntilGone(users, std::chrono::milliseconds(3000))) {
        for (int sig : {SIGTERM, SIGKILL}) {
            for (pid_t p : users)
                kill(p, sig);
            if (waitUntilGone(users, std::chrono::milliseconds(2000)))
                break;
        }
    }
    std::vector<pid_t> left;
    for (pid_t p : users)
        if (processAlive(p))
            left.push_back(p);
    if (shmctl(segment, IPC_RMID, nullptr) != 0)
        return failure("stop", "can't remove segment " + std::to_string(id) + ": " + strerror(errno));
    if (!left.empty())
        return failure("stop", std::to_string(left.size()) + " process(es) still run, among them " +
                                   std::to_string(left[0]) + "; segment " + std::to_string(id) + " removed");
    printf("segment %ld: %zu process%s ended, segment removed\n", id, ended, ended == 1 ? "" : "es");
    return exitOk;
}

} // namespace callctl
