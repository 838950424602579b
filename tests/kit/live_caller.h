// The far end of a stand-in line as a caller on a live line: 80 bytes of
// µ-law silence every 10 ms, unless something was queued to say.  Only its
// thread writes to the line once it has started, so what a test queues
// never interleaves with the silence.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "line.h"

namespace kit {

// Audio a test can predict byte for byte: random, so that no sound a test
// looks for turns up inside another, and with DLE among it, so that the
// line's doubling is part of every test.
std::vector<uint8_t> randomBytes(size_t n, uint32_t seed);
// Stand-in speech for a prompt: the same text always makes the same bytes,
// and no synthesizer is needed.
std::vector<uint8_t> fakeSpeech(const std::string& text);

class LiveCaller {
public:
    explicit LiveCaller(sim::Line& line) : line_(line) {}
    ~LiveCaller() { stop(); }
    LiveCaller(const LiveCaller&) = delete;
    LiveCaller& operator=(const LiveCaller&) = delete;

    void start();
    void stop(); // at once; what is still queued is not said

    // Queued as it is, DLE codes included; DLE ETX is the last thing said.
    void send(std::vector<uint8_t> raw);
    void keys(const std::string& keys); // each one a DLE code
    // Whether the line has taken everything queued, within `timeout`.
    bool sent(std::chrono::milliseconds timeout);
    // Whether `bytes` turned up whole in what the far end heard, within
    // `timeout`.
    bool heard(const std::vector<uint8_t>& bytes, std::chrono::milliseconds timeout) const;

private:
    sim::Line& line_;
    std::atomic<bool> streaming_{false};
    std::mutex mutex_;
    std::deque<std::vector<uint8_t>> outbox_;
    std::thread streamer_;
};

} // namespace kit
