// Sending a rendered DTMF tone: the tone replaces the start of the audio
// chunks that go to the line, cycle after cycle, until all of it is sent.
#pragma once

#include <cstdint>

// Lays the part of `tone` (dtmfToneSamples bytes) that begins at `offset`
// over the first bytes of `chunk`, which holds `count` samples (nothing is
// laid when count is not positive), and advances offset.  Returns true when
// the whole tone has gone out; offset is then back at 0 and the caller
// clears the request.
bool overlayDtmfTone(int& offset, const uint8_t* tone, uint8_t* chunk, int count);
