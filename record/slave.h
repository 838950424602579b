// The record slave: reads the sound device chunk by chunk and, while taping
// is active, appends each chunk to the outgoing tape file under tapeLimit.
#pragma once

#include "recording.h"

// Runs in the forked child until recordRunning is 0 or a signal asks for the
// end ("Dying", status 0), or a device read fails (the "record" error line,
// status 0).
[[noreturn]] void runRecordSlave(const Recording& r);
