// What the supervisor prepares for a call and both pumps take over at their
// fork: the descriptors from the command line, the record and the tape.
#pragma once

#include <sys/types.h>

#include "control_block.h"
#include "tape_navigation.h"

struct Call {
    int ttyFd = -1;   // the ttyI: read by the t2a pump, written by the a2t pump
    int soundFd = -1; // the sound device: written by the t2a pump, read by the a2t pump
    int chunkSize = 0;
    ControlBlock* cb = nullptr;
    Tape tape;        // none in answer mode; tape commands need both open
    pid_t t2aPid = 0; // 0 once the pump has been waited for
    pid_t a2tPid = 0;
};
