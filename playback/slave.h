// The playback slave: reads the tape chunk by chunk, mixes the two sides and
// plays them on the sound device, advancing tapePosition by every chunk.
#pragma once

#include "playback.h"

// Runs in the forked child until playRunning is 0, either file ends, a file
// cannot be read or a signal asks for the end; then "Dying" and status 0.
[[noreturn]] void runPlaybackSlave(const Playback& p);
