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
    // Lines are also printed as they come (callctl --verbose).
    void echoTo(FILE* stream);

    static std::string format(const Entry& e); // "[  1.234] source             text"
    bool write(const std::string& path, std::string* error) const;

private:
    Clock::time_point start_;
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    FILE* echo_ = nullptr;
};

} // namespace callctl
