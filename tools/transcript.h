// What happened during a run, in the order it happened: every line the
// daemons printed, the changes of the control block, and callctl's own
// actions, each stamped with the time since the start.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace callctl {

class Transcript {
public:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        double seconds;
        std::string source; // "voicephone-daemon", "control block", "callctl", ...
        std::string text;
    };

    Transcript();
    void add(const std::string& source, const std::string& text);
    std::vector<Entry> entries() const;
    double elapsed() const;
    // Lines are also printed as they come: every one (callctl --verbose), or
    // only those a person acts on (what was asked, keys heard and sent,
    // taping, tape moves, the end).  nullptr: none.
    void echoTo(FILE* stream, bool everything = true);
    static bool worthShowing(const Entry& e);

    // Writes the transcript to `path` as it goes, a line at a time, so
    // `tail -f` follows it; what is there already is written first.
    bool follow(const std::string& path, std::string* error);
    // Ends following; false with *error when a write failed.
    bool stopFollowing(std::string* error);

    static std::string format(const Entry& e); // "[  1.234] source             text"
    bool write(const std::string& path, std::string* error) const;

private:
    Clock::time_point start_;
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    FILE* echo_ = nullptr;
    bool echoEverything_ = true;
    FILE* file_ = nullptr;
    std::string filePath_;
};

} // namespace callctl
