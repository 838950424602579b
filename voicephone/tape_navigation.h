// Moving about the tape: the supervisor's tape commands over the two tape
// files and the position words.  Both files move together and the three
// positions end equal.
#pragma once

#include <cstdint>
#include <cstdio>

#include "control_block.h"

struct Tape {
    FILE* ingoing = nullptr;  // what the remote party said
    FILE* outgoing = nullptr; // what the local user said
};

// One pass over the requests: skip back, rewind, skip forward, to the end,
// each served only while taping is inactive, each starting from where the
// one before left the tape; then the taping start and stop requests.
void serveTapeCommands(ControlBlock& cb, Tape& tape);

void tapeSkipBack(ControlBlock& cb, Tape& tape);
void tapeRewind(ControlBlock& cb, Tape& tape);
void tapeSkipForward(ControlBlock& cb, Tape& tape);
void tapeToEnd(ControlBlock& cb, Tape& tape);

// The start position: a position beyond the tape's length puts the tape at
// its end, so taping never overwrites the start of the old recording while
// the words say otherwise.
void tapeSeek(ControlBlock& cb, Tape& tape, uint32_t position);
