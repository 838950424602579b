// The tape limit as the record slave applies it: 32-bit unsigned arithmetic
// throughout, as the positions are kept in the shared record.
#pragma once

#include <cstdint>

// Room left under the limit.  A position already beyond the limit wraps to a
// very large room: such a recording goes on without limit.
uint32_t roomLeft(uint32_t tapeLimit, uint32_t outgoingPosition);

// A chunk is taken whole or not at all: the part that would fit is dropped
// with the rest.
bool chunkFits(uint32_t tapeLimit, uint32_t outgoingPosition, uint32_t count);
