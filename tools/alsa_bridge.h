// A sound device for the daemons on ALSA: the daemon gets one end of a
// stream socket pair with a small send buffer (so the daemon's free-space
// query sees about as much room as the device really has), and callctl
// moves the samples between the other end and an ALSA PCM opened in the
// wrap mode's format, one channel, 8000 samples a second.  Playback
// underruns and capture overruns are counted.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace callctl {

class AlsaBridge {
public:
    AlsaBridge() = default;
    ~AlsaBridge(); // stops at once
    AlsaBridge(const AlsaBridge&) = delete;
    AlsaBridge& operator=(const AlsaBridge&) = delete;

    // `device` as ALSA names it ("default", "hw:0", a name from a
    // configuration file).  Playback: what the daemon writes is played;
    // capture: what the PCM hears the daemon reads.
    bool open(const std::string& device, bool playback, bool capture, int wrapMode, std::string* error);
    int daemonFd() const { return daemonFd_; }
    void closeDaemonEnd();

    // After the daemon has ended: plays what is still queued (unless `now`)
    // and closes the PCMs.  False with *error when the device failed.
    bool finish(bool now, std::string* error);

    unsigned underruns() const { return underruns_; }
    unsigned overruns() const { return overruns_; }
    size_t framesPlayed() const { return played_; }
    // A device failure seen while running, or "".
    std::string problem() const;

private:
    void playLoop();
    void captureLoop();
    void fail(const std::string& what);

    void* playback_ = nullptr; // snd_pcm_t*
    void* capture_ = nullptr;
    std::string device_;
    int bytesPerFrame_ = 1;
    int fd_ = -1;       // our end
    int daemonFd_ = -1; // the daemon's end, until passed on
    std::atomic<bool> running_{false};
    std::atomic<bool> dropAtEnd_{false};
    std::atomic<unsigned> underruns_{0}, overruns_{0};
    std::atomic<size_t> played_{0};
    mutable std::atomic<bool> failed_{false};
    std::string problem_; // written once, before failed_ is set
    std::thread player_, recorder_;
};

} // namespace callctl
