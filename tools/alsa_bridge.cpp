#include "alsa_bridge.h"

#include <alsa/asoundlib.h>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "audio_io.h"

namespace callctl {

namespace {

constexpr unsigned rate = 8000;
constexpr unsigned latencyUs = 100000; // what the device holds: a tenth of a second
constexpr size_t framesPerStep = 160;  // 20 ms

snd_pcm_t* pcm(void* p)
{
    return static_cast<snd_pcm_t*>(p);
}

bool openPcm(const std::string& device, snd_pcm_stream_t stream, int wrapMode, void** out, std::string* error)
{
    snd_pcm_t* handle = nullptr;
    const char* way = stream == SND_PCM_STREAM_PLAYBACK ? "playback" : "capture";
    // Capture waits for data with a time-out, so it can be ended.
    int err = snd_pcm_open(&handle, device.c_str(), stream, stream == SND_PCM_STREAM_CAPTURE ? SND_PCM_NONBLOCK : 0);
    if (err < 0) {
        *error = "can't open ALSA device " + device + " for " + way + ": " + snd_strerror(err);
        return false;
    }
    snd_pcm_format_t format = wrapMode == WrapUlaw ? SND_PCM_FORMAT_MU_LAW : SND_PCM_FORMAT_S16_LE;
    err = snd_pcm_set_params(handle, format, SND_PCM_ACCESS_RW_INTERLEAVED, 1, rate, 1, latencyUs);
    if (err < 0) {
        *error = "ALSA device " + device + " can't " + way + " " + (wrapMode == WrapUlaw ? "mu-law" : "16-bit") +
                 " mono at 8000 Hz: " + snd_strerror(err);
        snd_pcm_close(handle);
        return false;
    }
    *out = handle;
    return true;
}

} // namespace

AlsaBridge::~AlsaBridge()
{
    std::string ignored;
    finish(true, &ignored);
    if (daemonFd_ >= 0)
        close(daemonFd_);
}

bool AlsaBridge::open(const std::string& device, bool playback, bool capture, int wrapMode, std::string* error)
{
    device_ = device;
    bytesPerFrame_ = wrapMode == WrapUlaw ? 1 : 2;
    if (playback && !openPcm(device, SND_PCM_STREAM_PLAYBACK, wrapMode, &playback_, error))
        return false;
    if (capture && !openPcm(device, SND_PCM_STREAM_CAPTURE, wrapMode, &capture_, error))
        return false;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        *error = std::string("can't make a socket pair for the sound device: ") + strerror(errno);
        return false;
    }
    // The kernel keeps its least (a few KiB) whatever is asked below it.
    int small = static_cast<int>(rate / 10) * bytesPerFrame_;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    fd_ = pair[0];
    daemonFd_ = pair[1];
    running_ = true;
    if (playback_)
        player_ = std::thread([this] { playLoop(); });
    if (capture_)
        recorder_ = std::thread([this] { captureLoop(); });
    return true;
}

void AlsaBridge::closeDaemonEnd()
{
    if (daemonFd_ >= 0)
        close(daemonFd_);
    daemonFd_ = -1;
}

void AlsaBridge::fail(const std::string& what)
{
    if (!failed_.exchange(true))
        problem_ = what;
}

std::string AlsaBridge::problem() const
{
    return failed_ ? problem_ : "";
}

void AlsaBridge::playLoop()
{
    std::vector<uint8_t> buffer(framesPerStep * static_cast<size_t>(bytesPerFrame_));
    size_t have = 0;
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        int r = poll(&p, 1, 20);
        if (r < 0 && errno != EINTR)
            break;
        if (!running_ && r == 0)
            break;
        if (r <= 0)
            continue;
        ssize_t n = recv(fd_, buffer.data() + have, buffer.size() - have, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0 || dropAtEnd_)
            break; // the daemon's end is closed: all it played is here
        have += static_cast<size_t>(n);
        size_t frames = have / static_cast<size_t>(bytesPerFrame_);
        const uint8_t* at = buffer.data();
        while (frames > 0) {
            snd_pcm_sframes_t w = snd_pcm_writei(pcm(playback_), at, frames);
            if (w == -EPIPE) {
                ++underruns_;
                snd_pcm_prepare(pcm(playback_));
                continue;
            }
            if (w == -EINTR || w == -EAGAIN)
                continue;
            if (w < 0 && snd_pcm_recover(pcm(playback_), static_cast<int>(w), 1) < 0) {
                fail("ALSA playback on " + device_ + ": " + snd_strerror(static_cast<int>(w)));
                return;
            }
            if (w < 0)
                continue;
            frames -= static_cast<size_t>(w);
            at += static_cast<size_t>(w) * static_cast<size_t>(bytesPerFrame_);
            played_ += static_cast<size_t>(w);
        }
        // Half a 16-bit sample waits for its other half.
        size_t used = static_cast<size_t>(at - buffer.data());
        memmove(buffer.data(), at, have - used);
        have -= used;
    }
}

void AlsaBridge::captureLoop()
{
    std::vector<uint8_t> buffer(framesPerStep * static_cast<size_t>(bytesPerFrame_));
    snd_pcm_start(pcm(capture_));
    while (running_) {
        snd_pcm_sframes_t n = snd_pcm_readi(pcm(capture_), buffer.data(), framesPerStep);
        if (n == -EPIPE) {
            ++overruns_;
            snd_pcm_prepare(pcm(capture_));
            snd_pcm_start(pcm(capture_));
            continue;
        }
        if (n == -EAGAIN) {
            snd_pcm_wait(pcm(capture_), 20);
            continue;
        }
        if (n == -EINTR)
            continue;
        if (n < 0 && snd_pcm_recover(pcm(capture_), static_cast<int>(n), 1) < 0) {
            fail("ALSA capture on " + device_ + ": " + snd_strerror(static_cast<int>(n)));
            return;
        }
        if (n <= 0)
            continue;
        size_t bytes = static_cast<size_t>(n) * static_cast<size_t>(bytesPerFrame_);
        size_t sent = 0;
        // A daemon that reads late holds the capture back, and the device
        // overruns as it would under a daemon of its own.
        while (sent < bytes && running_) {
            pollfd p{fd_, POLLOUT, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            ssize_t s = send(fd_, buffer.data() + sent, bytes - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (s > 0)
                sent += static_cast<size_t>(s);
            else if (s < 0 && errno != EAGAIN && errno != EINTR)
                return; // the daemon's end is closed
        }
    }
}

bool AlsaBridge::finish(bool now, std::string* error)
{
    if (fd_ < 0)
        return problem().empty();
    dropAtEnd_ = now;
    running_ = false;
    // The player ends at the daemon's end of data, or at once when `now`;
    // each loop waits at most a step (20 ms) for its device, so the PCMs
    // are only touched from here once both have ended.
    if (now)
        shutdown(fd_, SHUT_RD);
    if (player_.joinable())
        player_.join();
    if (recorder_.joinable())
        recorder_.join();
    if (playback_) {
        if (now)
            snd_pcm_drop(pcm(playback_));
        else
            snd_pcm_drain(pcm(playback_));
        snd_pcm_close(pcm(playback_));
        playback_ = nullptr;
    }
    if (capture_) {
        snd_pcm_drop(pcm(capture_));
        snd_pcm_close(pcm(capture_));
        capture_ = nullptr;
    }
    close(fd_);
    fd_ = -1;
    std::string p = problem();
    if (!p.empty()) {
        *error = p;
        return false;
    }
    return true;
}

} // namespace callctl
