// DLE doubling of the audio sent to the ttyI: every 0x10 goes out twice, so
// the line never takes an audio byte for the start of a code.
#pragma once

#include <cstddef>
#include <cstdint>

// Copies count bytes of audio into line with every DLE doubled and returns
// the number of bytes stored.  line must hold 2 * count bytes (an all-DLE
// chunk fills it exactly).
size_t doubleDleBytes(const uint8_t* audio, size_t count, uint8_t* line);

// After a write that took only `written` bytes of `doubled` (a buffer made by
// doubleDleBytes, `length` bytes long, sent after one owed DLE if `owedBefore`):
// true when the line got the first half of a doubled DLE without the second.
// The second half is then owed and must go first in the next write, or the
// line would read the next audio byte as a code (0x03 would end the call).
bool dleOwedAfterWrite(bool owedBefore, const uint8_t* doubled, size_t length, size_t written);
