// Taping one chunk of one side of the call: what both pumps do with the
// audio they carry while taping is active.
#pragma once

#include <cstdint>
#include <cstdio>

#include "control_block.h"

enum class TapeSide {
    Ingoing,  // what the remote party says (the ttyI-to-audio pump)
    Outgoing, // what the local user says (the audio-to-ttyI pump)
};

// Writes `count` bytes at the side's recorded position, under tapeLimit, and
// then brings the side's position, tapeLength and tapePosition up to date.
// Taping stops (FlagActive cleared) with tapeFull when the chunk does not
// fit, or with errorFlag and one line on standard error when the file was
// deleted, was cut short below the position, or took the chunk only in
// part; a failed write leaves the file offset at the recorded position and
// the file no longer than it was, so the next take lands where the record
// says and nothing past the tape's end is left behind.
void tapeChunk(ControlBlock& cb, TapeSide side, FILE* file, const uint8_t* data, uint32_t count,
               const char* prefix);
