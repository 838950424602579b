// What the record server sets up and the slave takes over at its fork.
#pragma once

#include <cstdio>
#include <sys/types.h>

#include "daemon_util.h"

struct Recording {
    int soundFd = -1;
    int chunkSize = 0;
    ControlBlock* cb = nullptr;
    FILE* outgoingTape = nullptr; // unbuffered: each chunk reaches the file when taken
    PathName outgoingPath{};
    pid_t slavePid = 0;           // 0 until a fork succeeds, and again once waited for
};
