// The one-line live status shown while callctl drives a daemon.
#pragma once

#include <cstdint>
#include <string>

namespace callctl {

struct StatusInfo {
    double elapsed = 0;        // seconds since the start
    std::string phase;         // "call", "playback", ...
    uint32_t position = 0;     // tape bytes
    uint32_t length = 0;
    bool taping = false;
    bool hold = false;
    std::string touchtones;    // heard so far, newest last
    std::string remoteCode;    // last complete code
    bool error = false;        // errorFlag
    bool tapeFull = false;
    std::string lastEvent;
};

// At most `width` columns; the last event is cut first.
std::string formatStatus(const StatusInfo& s, size_t width = 100);

} // namespace callctl
