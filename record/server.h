// The record server: creates the tape file, carries out the start request,
// forks the slave that records, and watches the flag byte, the running word
// and the slave until taping ends; then it stops the slave and closes the
// file.
#pragma once

#include "recording.h"

// From the attached record to the "Dying" line; the exit status.
int runRecordServer(Recording& r);
