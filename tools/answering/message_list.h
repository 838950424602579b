// The mailbox as `callctl messages list` shows it: one line per message for
// people (local time, fits 80 columns), or JSON for scripts.
#pragma once

#include <string>
#include <vector>

#include "mailbox.h"

namespace callctl {

// Numbered from 1 in the order given (the mailbox's: oldest first).  The
// state column says "heard" for a new message that has been played.
std::string messageListText(const std::vector<Message>& messages);
// An array of objects: number, state ("new"/"saved"), heard, start (UTC),
// caller, called, durationSamples, durationSeconds, touchtones, endReason,
// audio and record (the paths).
std::string messageListJson(const std::vector<Message>& messages);

// "2026-12-09 02:02" in the local time zone.
std::string localTimeText(int64_t seconds);

} // namespace callctl
