// The audio-to-ttyI pump: carries the local user's audio (normal mode) or
// the greeting (answer mode) to the ttyI with DLE doubling, sends the DTMF
// tones the supervisor renders, and tapes the outgoing side.
#pragma once

#include "call.h"

// Forks the pump.  The parent gets the child's pid in call.a2tPid; when the
// fork fails it reports "a2t fork" and clears both running words, which ends
// the call.  The child never returns.
void startA2tPump(Call& call);
