// The one-line live status shown while callctl drives a daemon.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
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
    // In place of the tape's position when set: "greeting 00:03 of 00:08".
    std::string progress;
};

// Columns the status line may take on a terminal `columns` wide: one less,
// so the cursor never reaches the last column and the terminal never wraps.
size_t statusWidth(int columns);

// At most `width` columns (UTF-8 characters, not bytes); the last event is
// cut first.
std::string formatStatus(const StatusInfo& s, size_t width = 100);

// The bottom line of a terminal: a status line drawn again in place, and
// whole lines printed above it.  Drawing and printing come from different
// threads; whether the status is on the screen is known only under the lock
// that writes it, so a printed line never lands on the end of a status.
class LiveLine {
public:
    explicit LiveLine(FILE* out) : out_(out) {}
    // Off: nothing is drawn, and a status on the screen is wiped.
    void enable(bool on);
    bool enabled() const;
    void draw(const std::string& status);
    void print(const std::string& line);

private:
    FILE* out_;
    mutable std::mutex mutex_;
    bool enabled_ = false;
    bool shown_ = false;
};

} // namespace callctl
