// The tape limit as the record slave applies it: 32-bit unsigned arithmetic
// throughout, as the positions are kept in the shared record.
#pragma once

#include <cstdint>

// Room left under the limit.  A position already beyond the limit wraps to a
// very large room: such a recording goes on without limit.  This is the
// opposite of the VoicePhone daemon's taping (voicephone/tape_math.h's
// tapeHasRoom), where a position beyond the limit means the tape is full;
// each daemon keeps the answer its application relies on.
uint32_t roomLeft(uint32_t tapeLimit, uint32_t outgoingPosition);

// A chunk is taken whole or not at all: the part that would fit is dropped
// with the rest.  Nor is a chunk taken that would carry the position past
// 2^32 - 1: the word would wrap and the record would point at the start.
bool chunkFits(uint32_t tapeLimit, uint32_t outgoingPosition, uint32_t count);
