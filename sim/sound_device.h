// The sound-device stand-in.
//
// Socket: one bidirectional descriptor for the voicephone daemon (a stream
// socket pair): a source the daemon reads and a sink that records what it
// plays.  PlaybackPipe: the daemon's end is the write end of a pipe (sink
// only).  RecordPipe: the daemon's end is the read end of a pipe (source
// only).  Audio is given and returned as µ-law; in wrap mode 16 the device
// side carries signed 16-bit little-endian samples and the stand-in converts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace sim {

using namespace std::chrono_literals;

class SoundDevice {
public:
    enum class Kind { Socket, PlaybackPipe, RecordPipe };
    explicit SoundDevice(Kind kind = Kind::Socket, int wrapMode = 1);
    ~SoundDevice();
    SoundDevice(const SoundDevice&) = delete;
    SoundDevice& operator=(const SoundDevice&) = delete;

    int daemonFd() const { return daemonFd_; }
    void closeDaemonEnd();
    // The daemon has ended: our copy of its end goes too, so that a socket's
    // sink reads its end once everything the daemon wrote has been taken
    // (sinkClosed()).  pendingFeed() counts only what is queued here after.
    void daemonEnded();

    // Source: queue µ-law audio for the daemon to read.  Fed as fast as the
    // daemon takes it, or at 8000 samples a second when paced.
    void feed(std::span<const uint8_t> ulaw);
    void feedRaw(std::span<const uint8_t> deviceBytes); // exactly these bytes, any wrap mode
    void setPaced(bool realTime);
    // A voice that talks for as long as the device lasts: whenever less than
    // a second is queued, the stand-in asks it for a second more of µ-law
    // audio, so a daemon held up for any time never finds the source dry.
    // Called on the stand-in's own thread until it is destroyed.
    using Voice = std::function<std::vector<uint8_t>(size_t samples)>;
    void feedFrom(Voice voice);
    size_t pendingFeed() const; // device bytes not yet taken by the daemon
    bool waitFedOut(std::chrono::milliseconds timeout = 10s) const;
    // Closes the source once everything fed has been written: the daemon's
    // reads then return 0.
    void endSource();

    // Sink: what the daemon played, as µ-law (converted back in wrap mode 16).
    std::vector<uint8_t> played() const;
    size_t playedCount() const;
    std::vector<uint8_t> playedRaw() const; // device bytes as written
    bool waitForPlayed(size_t count, std::chrono::milliseconds timeout = 10s) const;
    // Whether every writer of the sink has closed it and all it held is read.
    bool sinkClosed() const;
    bool waitSinkClosed(std::chrono::milliseconds timeout = 10s) const;
    // Takes the sink at 8000 samples a second, as a speaker does, from a
    // pipe shrunk to its smallest, so the daemon is held back to the pace
    // of what is heard.
    void setSinkPaced(bool realTime);

private:
    void pump();
    bool readSink(size_t limit);
    size_t playedCountRaw() const;
    ssize_t writeSource(size_t limit);
    size_t bytesPerSample() const;

    Kind kind_;
    int wrapMode_;
    int farFd_ = -1;
    int daemonFd_ = -1;
    int probeFd_ = -1; // our copy of the daemon's end, only for pendingFeed()
    bool paced_ = false;
    bool sinkPaced_ = false;
    bool sinkClosed_ = false;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<uint8_t> source_;
    std::shared_ptr<const Voice> voice_;
    std::vector<uint8_t> sinkRaw_;
    bool sourceEnded_ = false;
    bool stopping_ = false;
    int wakeFd_[2] = {-1, -1};
    std::thread worker_;
};

} // namespace sim
