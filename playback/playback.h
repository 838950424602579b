// What the playback server sets up and the slave takes over at its fork.
#pragma once

#include <cstdio>
#include <sys/types.h>

#include "daemon_util.h"

struct Playback {
    int soundFd = -1;
    int chunkSize = 0;
    ControlBlock* cb = nullptr;
    FILE* ingoingFile = nullptr;  // as opened, for closing: ingoingTape may be redirected
    FILE* ingoingTape = nullptr;  // the outgoing stream itself when that file plays alone
    FILE* outgoingTape = nullptr;
    PathName ingoingPath{};
    PathName outgoingPath{};
    pid_t slavePid = 0;           // 0 until a fork succeeds, and again once waited for
};
