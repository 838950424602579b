// The playback slave: reads the tape chunk by chunk, mixes the two sides and
// plays them on the sound device, advancing tapePosition by every chunk.
#pragma once

#include <cstdio>

#include "daemon_util.h"

// The server's values, which the slave gets its own copy of at the fork.
struct Playback {
    int soundFd = -1;
    int chunkSize = 0;
    ControlBlock* cb = nullptr;
    FILE* ingoingTape = nullptr;  // the outgoing stream itself when that file plays alone
    FILE* outgoingTape = nullptr;
    PathName ingoingPath{};
    PathName outgoingPath{};
};

// Runs in the forked child until playRunning is 0, either file ends or a
// file cannot be read; then "Dying" and exit status 0.
[[noreturn]] void runPlaybackSlave(const Playback& p);
