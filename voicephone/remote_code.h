// The remote code: '*', up to 16 digits and '#', keyed by the far end as
// touchtones.  The collector sees every DLE code the line delivers while the
// application has not yet taken the last complete code (codeComplete 0).
#pragma once

#include <cstdint>

#include "control_block.h"

struct RemoteCodeCollector {
    uint16_t length = 0;  // digits stored since the last '*'
    bool started = false; // a '*' has opened a code
};

// Takes one DLE code.  A digit of an open code is stored at `code[length]`
// with a NUL after it, so `code` always holds at most 16 digits and a
// terminator; digits beyond 16 and digits before any '*' are dropped.  '*'
// starts afresh (the old text is overwritten by the next digit); '#' after
// at least one digit completes the code and closes it.  Returns true when
// the code is complete: the caller then publishes codeComplete.
bool collectRemoteCode(RemoteCodeCollector& collector, char (&code)[remoteCodeSize], uint8_t key);
