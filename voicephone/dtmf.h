// DTMF tones for the keys the application posts in dtmfKey.
#pragma once

#include <cstdint>

inline constexpr int dtmfToneSamples = 2000; // a quarter of a second at 8000 samples/s

// Renders the tone of key (one of "123A456B789C*0#D") as 2000 µ-law samples
// into tone and returns 2000; any other character writes nothing and
// returns -1.
int generateDtmfTone(uint8_t* tone, char key);
