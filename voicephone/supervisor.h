// The supervisor: the first process of the daemon.  It prepares the call
// (record, tape), and while the pumps carry the audio it serves the tape
// commands, the taping start and stop requests and the DTMF requests every
// 10 ms, and watches that both pumps live; at the end it stops the pumps and
// closes the tape.
#pragma once

#include "call.h"

// Start-up after the record is attached: answer mode or tape preparation,
// and the clearing of the fields the daemon owns.
void prepareCall(Call& call);

// After both pump starts: phoneUp (the start-up clearing is behind us) and
// the pids.
void announcePumps(const Call& call);

// The 10 ms loop, until both running words are 0, stopRequest is set, a
// signal asks for the end, or a pump dies while its running word is set.
void superviseCall(Call& call);

// Stops and waits for the pumps, closes the tape, prints the last line.
void endCall(Call& call);
