// The playback server: opens and positions the tape, carries out the start
// request, forks the slave that plays, and watches the flag byte, the
// running word and the slave every millisecond.  A stop request leaves the
// tape where playing stopped; every other end puts it back to its start.
#pragma once

#include "playback.h"

// From the attached record to the "Dying" line; the exit status.
int runPlaybackServer(Playback& p);
