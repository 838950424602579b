// The benchmarks' own lean stand-ins: the far ends of the line and the sound
// device as plain non-blocking descriptors (no thread per stand-in), and
// starting and ending the programs under test.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "control_block.h"
#include "daemon_process.h"
#include "segment.h"

namespace bench {

int64_t nowNs(); // CLOCK_MONOTONIC

struct DescriptorPair {
    int far = -1;    // ours, non-blocking
    int daemon = -1; // handed to the program, blocking as the application would
};
// A pseudo-terminal in raw mode: the program gets the slave, like a ttyI.
bool makeLine(DescriptorPair& p);
// A stream socket pair for the sound device of the voicephone daemon.
bool makeSoundSocket(DescriptorPair& p);
// A pipe: toProgram true = the program reads (record), false = it writes (playback).
bool makeSoundPipe(DescriptorPair& p, bool toProgram, int capacity = 0);
void closePair(DescriptorPair& p);

// The segment and the program lookup are sim's.
using sim::programPath;
using sim::Segment;

// Starts program with args (argv[1] ...); fds[i] becomes descriptor 3 + i in
// the program, every other descriptor of ours is closed; standard output and
// error go to logPath (or /dev/null when empty).  Returns the pid or -1.
pid_t spawnProgram(const std::string& program, const std::vector<std::string>& args, const std::vector<int>& fds,
                   const std::string& logPath = "");

// Waits for a child of ours; true when it ended in time (status in *status).
bool waitChild(pid_t pid, std::chrono::milliseconds timeout, int* status = nullptr);
// A process that may not be our child: a descriptor that becomes readable
// when it ends (zombie or gone), or -1.
int openProcess(pid_t pid);
bool processEnded(int pidFd, int timeoutMs = 0);

// Polls `done` every `stepUs` microseconds until it is true or the time is up.
template <typename Done>
bool waitUntil(Done done, std::chrono::milliseconds timeout, int stepUs = 200);
void sleepUs(int64_t us);

template <typename Done>
bool waitUntil(Done done, std::chrono::milliseconds timeout, int stepUs)
{
    int64_t end = nowNs() + std::chrono::duration_cast<std::chrono::nanoseconds>(timeout).count();
    for (;;) {
        if (done())
            return true;
        if (nowNs() > end)
            return false;
        sleepUs(stepUs);
    }
}

} // namespace bench
