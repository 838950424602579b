// The record slave: reads the sound device chunk by chunk and, while taping
// is active, appends each chunk to the outgoing tape file under tapeLimit.
#pragma once

#include <cstdio>

#include "daemon_util.h"

// The server's values, which the slave gets its own copy of at the fork.
struct Recording {
    int soundFd = -1;
    int chunkSize = 0;
    ControlBlock* cb = nullptr;
    FILE* outgoingTape = nullptr; // unbuffered: each chunk reaches the file when taken
    PathName outgoingPath{};
};

// Runs in the forked child until recordRunning is 0 ("Dying", status 0) or a
// device read fails (the "record" error line, status 0).
[[noreturn]] void runRecordSlave(const Recording& r);
