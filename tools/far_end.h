// The remote party on a stand-in line: it talks at the line's pace (20 ms
// of audio every 20 ms), keys touchtones between its audio, and hangs up
// with DLE ETX.
//
// On the kit's line (a pty) it hears whatever the daemon sends as fast as
// it comes.  Built without one it brings its own line, a socket pair with a
// small buffer from which it takes 160 bytes every 20 ms, as a real line
// does: then the daemon's writes wait for the line, and a greeting goes out
// in real time.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "line.h"

namespace callctl {

class FarEnd {
public:
    // `voice` gives the next n bytes of what the far end says.
    FarEnd(sim::Line& line, std::function<std::vector<uint8_t>(size_t)> voice);
    explicit FarEnd(std::function<std::vector<uint8_t>(size_t)> voice);
    ~FarEnd();
    FarEnd(const FarEnd&) = delete;
    FarEnd& operator=(const FarEnd&) = delete;

    void start();
    void talk(bool on);             // silence while off
    // Own line only: the daemon's end, and our copy of it once it is passed on.
    int daemonFd() const { return daemonFd_; }
    void closeDaemonEnd();
    // What the daemon sent, DLE doubling undone.
    std::vector<uint8_t> received() const;
    size_t receivedCount() const;
    void key(const std::string& codes); // DLE codes, one every 100 ms
    bool keysSent() const;
    void hangUp();                  // DLE ETX once the keys are out
    void stop();
    size_t bytesSent() const { return sent_; }

private:
    void run();
    bool send(const std::vector<uint8_t>& bytes);
    void takeFromLine();

    sim::Line* line_ = nullptr;
    int farFd_ = -1, daemonFd_ = -1;
    std::vector<uint8_t> received_;
    bool pendingDle_ = false;
    std::function<std::vector<uint8_t>(size_t)> voice_;
    mutable std::mutex mutex_;
    std::deque<uint8_t> keys_;
    bool talking_ = true;
    bool hangUp_ = false;
    std::atomic<bool> running_{false};
    std::atomic<size_t> sent_{0};
    std::thread thread_;
};

} // namespace callctl
