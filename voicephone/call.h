// What the supervisor prepares for a call and both pumps take over at their
// fork: the descriptors from the command line, the record and the tape.
#pragma once

#include <cstdio>
#include <sys/types.h>

#include "control_block.h"

struct Call {
    int ttyFd = -1;   // the ttyI: read by the t2a pump, written by the a2t pump
    int soundFd = -1; // the sound device: written by the t2a pump, read by the a2t pump
    int chunkSize = 0;
    ControlBlock* cb = nullptr;
    FILE* ingoingTape = nullptr;  // what the remote party said; none in answer mode
    FILE* outgoingTape = nullptr; // what the local user said; none in answer mode
    pid_t t2aPid = 0;
    pid_t a2tPid = 0;
};

// Both pumps wait for the ttyI at most this long, so a silent line never
// keeps them from seeing their running word cleared.
inline constexpr long ttyWaitMicroseconds = 16000;

// One select on the ttyI for reading or writing, with the 16 ms time-out.
// A descriptor that a select set cannot hold fails like a closed one (EBADF)
// instead of writing past the set.
int waitForTty(int fd, bool forWriting);
