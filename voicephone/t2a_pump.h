// The ttyI-to-audio pump: carries what the remote party says from the ttyI
// to the sound device and the ingoing tape (normal mode) or the response
// file (answer mode), and acts on the DLE codes in the stream.
#pragma once

#include "call.h"

// Forks the pump.  The parent gets the child's pid in call.t2aPid; when the
// fork fails it reports "t2a fork" and clears both running words, which ends
// the call.  The child never returns.
void startT2aPump(Call& call);
