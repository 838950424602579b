// What a tick does after the process was held up and the timer fired more
// than once since the last one.
//
// Both directions stay on the clock: every 20 ms that passed moves the RTP
// timestamp and the play position on by a frame, whether or not a packet
// went out, so a far end hears a stall as a gap in its place and never as
// a stream that runs behind from then on.  Only the newest frames are sent
// (a burst of old audio would come too late to be played anyway); the
// audio of older ones is dropped.  Frames played toward the application
// are all written, as the line takes them at its own pace.
#pragma once

#include <cstdint>

namespace sipline {

struct CatchUp {
    uint64_t served = 0;    // frames taken from the playout and the transmit queue, oldest first
    uint64_t sendFrom = 0;  // the first of them (0-based) that is sent; those before are dropped
    uint64_t skipped = 0;   // frames beyond `served`: the timestamp moves on by them unserved
};

// At most `maxSent` frames are sent and `maxServed` served in one tick.
CatchUp planCatchUp(uint64_t expirations, uint64_t maxSent, uint64_t maxServed);

} // namespace sipline
