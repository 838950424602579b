// callctl show SEGID [--watch]
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdio>
#include <sys/shm.h>
#include <thread>
#include <unistd.h>

#include "command_line.h"
#include "commands.h"
#include "control_block_view.h"
#include "session.h"

namespace callctl {

namespace {

const char* showUsage =
    "usage: callctl show SEGID [--watch] [--interval MS]\n"
    "\n"
    "Decodes the control block in System V segment SEGID, as a running\n"
    "controlling application and its daemons see it: every word, flag bits\n"
    "by name, positions as mm:ss, the remote code and the paths.  The\n"
    "segment is attached read-only and never changed.\n"
    "\n"
    "  --watch         keep watching until Ctrl-C or the segment is removed: on\n"
    "                  a terminal the view is redrawn, otherwise every change is\n"
    "                  printed as a line\n"
    "  --interval MS   how often to look while watching (default 200)\n";

bool segmentGone(int id)
{
    struct shmid_ds info;
    return shmctl(id, IPC_STAT, &info) != 0 || (info.shm_perm.mode & SHM_DEST) != 0;
}

} // namespace

int showCommand(const Args& args)
{
    ScannedArgs a;
    std::string error;
    if (!scanArguments(args, {{"--watch", false}, {"--interval", true}}, &a, &error))
        return usageError("show", error);
    if (a.help)
        return printUsage(showUsage);
    if (a.positional.size() != 1)
        return usageError("show", a.positional.empty() ? "no segment id given"
                                                       : "one segment id, not " + std::to_string(a.positional.size()));
    long id = 0, interval = 200;
    if (!parseNumber("segment id", a.positional[0], 0, INT_MAX, &id, &error))
        return usageError("show", error);
    if (has(a, "--interval") && !parseNumber("--interval", a.values["--interval"], 10, 60000, &interval, &error))
        return usageError("show", error);

    struct shmid_ds info;
    if (shmctl(static_cast<int>(id), IPC_STAT, &info) != 0)
        return failure("show", "no shared memory segment " + std::to_string(id) + ": " + strerror(errno));
    if (info.shm_segsz < controlBlockSize)
        return failure("show", "segment " + std::to_string(id) + " holds " + std::to_string(info.shm_segsz) +
                                   " bytes, fewer than the control block's " + std::to_string(controlBlockSize));
    void* p = shmat(static_cast<int>(id), nullptr, SHM_RDONLY);
    if (p == reinterpret_cast<void*>(-1))
        return failure("show", "can't attach segment " + std::to_string(id) + ": " + strerror(errno));
    const ControlBlock& cb = *static_cast<const ControlBlock*>(p);

    BlockSnapshot last = takeSnapshot(cb);
    printf("control block in segment %ld (%zu bytes)\n%s", id, static_cast<size_t>(info.shm_segsz),
           describeBlock(last).c_str());
    if (!has(a, "--watch")) {
        shmdt(p);
        return exitOk;
    }
    installInterruptHandler();
    bool terminal = isatty(STDOUT_FILENO);
    Transcript clock;
    while (!interrupted) {
        std::this_thread::sleep_for(std::chrono::milliseconds(interval));
        if (segmentGone(static_cast<int>(id))) {
            printf("segment %ld removed\n", id);
            break;
        }
        BlockSnapshot now = takeSnapshot(cb);
        if (terminal) {
            // Home, clear, redraw: the view stays in place.
            printf("\x1b[H\x1b[2Jcontrol block in segment %ld, %.1f s\n%s", id, clock.elapsed(), describeBlock(now).c_str());
            fflush(stdout);
        } else {
            for (const auto& change : describeChanges(last, now, true))
                printf("[%8.3f] %s\n", clock.elapsed(), change.c_str());
        }
        last = std::move(now);
    }
    shmdt(p);
    return exitOk;
}

} // namespace callctl
