// Arithmetic of the tape: a pair of µ-law files (8000 bytes a second) whose
// positions and lengths are byte counts held in unsigned 32-bit words of the
// control block.
#pragma once

#include <cstdint>

// Whether a writer at `position` may tape a chunk of `chunk` bytes without
// passing `limit`.  A position already beyond the limit (reached by moving
// over a file longer than the limit) has no room: the tape is full there.
// The record daemon answers the other way on purpose (record/room.h's
// chunkFits: beyond the limit there is no limit); each keeps the answer its
// application relies on.
bool tapeHasRoom(uint32_t limit, uint32_t position, uint32_t chunk);

// The position `seconds` back from `position`, never before the start.  The
// product and the difference are formed modulo 2^32, like every position.
uint32_t skipBackTarget(uint32_t position, uint32_t seconds);

// The position `seconds` on from `position`, never beyond `length`.  The
// product and the sum are formed modulo 2^32: a sum that wraps lands near
// the start.
uint32_t skipForwardTarget(uint32_t position, uint32_t seconds, uint32_t length);

// The tape after a writer has tried to tape one file: the tape position is
// the smaller of the two file positions, and the length grows to it (it
// never shrinks here).
struct TapeExtent {
    uint32_t length;
    uint32_t position;
};
TapeExtent tapeExtentAfterWrite(uint32_t ingoingPosition, uint32_t outgoingPosition, uint32_t length);

// The length of a tape measured from its two file sizes: the shorter file,
// at most what a position word can hold.
uint32_t tapeLengthFromSizes(uint64_t ingoingSize, uint64_t outgoingSize);

// Whether `count` more bytes fit in a response file that holds `written`
// bytes and may hold `limit`.
bool responseHasRoom(uint32_t written, uint32_t count, uint32_t limit);
