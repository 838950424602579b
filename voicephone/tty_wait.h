// The pumps' waits on the ttyI.  Both are bounded, so a line that is silent
// or takes no data never keeps a pump from seeing its running word cleared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

inline constexpr long ttyWaitMicroseconds = 16000;

// One select on the ttyI for reading or writing, with the 16 ms time-out.
// A descriptor that a select set cannot hold fails like a closed one (EBADF)
// instead of writing past the set.
int waitForTty(int fd, bool forWriting);

// Waits up to 16 ms for the ttyI to take data, then writes with the same
// bound: a line with room for only part of the data takes that part and
// the write returns instead of waiting for the rest.  A write cut short
// while the line still has room (the bound's signal came while this
// process was not running) goes on, a few times at most.  Returns the
// bytes written (0 when the line took none in time) or -1 with errno on
// failure.  A failed select counts as readiness: the write then tells.
ssize_t writeTtyWithin(int fd, const uint8_t* data, size_t length);
