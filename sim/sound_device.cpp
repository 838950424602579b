#include "sound_device.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "audio_io.h"
#include "control_block.h"
#include "fd_util.h"

namespace sim {

using namespace detail;

namespace {

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "sim sound device: %s: %s\n", what, std::strerror(errno));
    std::abort();
}

// A real device delivers 20 ms of capture at a time.
constexpr auto paceStep = 20ms;
constexpr size_t samplesPerStep = bytesPerSecond / 50;

} // namespace

SoundDevice::SoundDevice(Kind kind, int wrapMode) : kind_(kind), wrapMode_(wrapMode)
{
    ignoreSigpipe();
    if (pipe2(wakeFd_, O_CLOEXEC | O_NONBLOCK) != 0)
        fail("pipe2");
    int pair[2];
    if (kind == Kind::Socket) {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            fail("socketpair");
        farFd_ = pair[0];
        daemonFd_ = pair[1];
    } else {
        if (pipe2(pair, O_CLOEXEC) != 0)
            fail("pipe2");
        bool daemonWrites = kind == Kind::PlaybackPipe;
        farFd_ = daemonWrites ? pair[0] : pair[1];
        daemonFd_ = daemonWrites ? pair[1] : pair[0];
    }
    // What the daemon has not read yet is counted on its own end, so we keep
    // a copy of it.  Not for the playback pipe: a copy of its write end
    // would hide the daemon closing it.
    if (kind != Kind::PlaybackPipe) {
        probeFd_ = fcntl(daemonFd_, F_DUPFD_CLOEXEC, 3);
        if (probeFd_ < 0)
            fail("dup");
    }
    if (!setNonBlocking(farFd_))
        fail("O_NONBLOCK");
    worker_ = std::thread([this] { pump(); });
}

SoundDevice::~SoundDevice()
{
    if (worker_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake(wakeFd_[1]);
        worker_.join();
    }
    closeFd(farFd_);
    closeFd(daemonFd_);
    closeFd(probeFd_);
    closeFd(wakeFd_[0]);
    closeFd(wakeFd_[1]);
}

void SoundDevice::closeDaemonEnd()
{
    closeFd(daemonFd_);
}

void SoundDevice::daemonEnded()
{
    std::lock_guard lock(mutex_);
    closeFd(probeFd_);
}

size_t SoundDevice::bytesPerSample() const
{
    return wrapMode_ == WrapLinear16 ? 2 : 1;
}

void SoundDevice::feed(std::span<const uint8_t> ulaw)
{
    if (bytesPerSample() == 1) {
        feedRaw(ulaw);
        return;
    }
    std::vector<uint8_t> linear(ulaw.size() * 2);
    ulawToLinear16(ulaw.data(), linear.data(), int(ulaw.size()));
    feedRaw(linear);
}

void SoundDevice::feedRaw(std::span<const uint8_t> deviceBytes)
{
    {
        std::lock_guard lock(mutex_);
        source_.insert(source_.end(), deviceBytes.begin(), deviceBytes.end());
    }
    wake(wakeFd_[1]);
}

void SoundDevice::feedFrom(Voice voice)
{
    {
        std::lock_guard lock(mutex_);
        voice_ = std::make_shared<const Voice>(std::move(voice));
    }
    wake(wakeFd_[1]);
}

void SoundDevice::setPaced(bool realTime)
{
    {
        std::lock_guard lock(mutex_);
        paced_ = realTime;
    }
    wake(wakeFd_[1]);
}

size_t SoundDevice::pendingFeed() const
{
    std::lock_guard lock(mutex_);
    int inKernel = 0;
    if (probeFd_ >= 0 && ioctl(probeFd_, FIONREAD, &inKernel) != 0)
        inKernel = 0;
    return source_.size() + size_t(inKernel);
}

bool SoundDevice::waitFedOut(std::chrono::milliseconds timeout) const
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pendingFeed() != 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(200us);
    }
    return true;
}

void SoundDevice::endSource()
{
    {
        std::lock_guard lock(mutex_);
        sourceEnded_ = true;
    }
    wake(wakeFd_[1]);
}

std::vector<uint8_t> SoundDevice::played() const
{
    std::lock_guard lock(mutex_);
    if (bytesPerSample() == 1)
        return sinkRaw_;
    std::vector<uint8_t> ulaw(sinkRaw_.size() / 2);
    linear16ToUlaw(sinkRaw_.data(), ulaw.data(), int(ulaw.size()));
    return ulaw;
}

size_t SoundDevice::playedCountRaw() const
{
    std::lock_guard lock(mutex_);
    return sinkRaw_.size();
}

size_t SoundDevice::playedCount() const
{
    std::lock_guard lock(mutex_);
    return sinkRaw_.size() / bytesPerSample();
}

std::vector<uint8_t> SoundDevice::playedRaw() const
{
    std::lock_guard lock(mutex_);
    return sinkRaw_;
}

bool SoundDevice::sinkClosed() const
{
    std::lock_guard lock(mutex_);
    return sinkClosed_;
}

bool SoundDevice::waitSinkClosed(std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return sinkClosed_; });
}

void SoundDevice::setSinkPaced(bool realTime)
{
    if (realTime && kind_ == Kind::PlaybackPipe)
        fcntl(farFd_, F_SETPIPE_SZ, 4096);
    {
        std::lock_guard lock(mutex_);
        sinkPaced_ = realTime;
    }
    wake(wakeFd_[1]);
}

bool SoundDevice::waitForPlayed(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return sinkRaw_.size() >= count * bytesPerSample(); });
}

// Reads up to `limit` bytes the daemon has written so far; false once its
// side is closed for good and everything is read.
bool SoundDevice::readSink(size_t limit)
{
    uint8_t buffer[8192];
    while (limit > 0) {
        ssize_t n = read(farFd_, buffer, std::min(limit, sizeof buffer));
        if (n > 0) {
            std::lock_guard lock(mutex_);
            sinkRaw_.insert(sinkRaw_.end(), buffer, buffer + n);
            limit -= size_t(n);
            changed_.notify_all();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return true;
        std::lock_guard lock(mutex_);
        sinkClosed_ = true;
        changed_.notify_all();
        return false;
    }
    return true;
}

// Writes up to `limit` queued bytes; returns how many went, or -1 once the
// daemon's side is gone.
ssize_t SoundDevice::writeSource(size_t limit)
{
    uint8_t buffer[8192];
    size_t n;
    {
        std::lock_guard lock(mutex_);
        n = std::min({limit, source_.size(), sizeof buffer});
        std::copy_n(source_.begin(), n, buffer);
    }
    ssize_t written = kind_ == Kind::Socket ? send(farFd_, buffer, n, MSG_NOSIGNAL) : write(farFd_, buffer, n);
    if (written < 0)
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    std::lock_guard lock(mutex_);
    source_.erase(source_.begin(), source_.begin() + written);
    changed_.notify_all();
    return written;
}

void SoundDevice::pump()
{
    using Clock = std::chrono::steady_clock;
    bool sinkOpen = kind_ != Kind::RecordPipe;
    bool sourceOpen = kind_ != Kind::PlaybackPipe;
    const size_t stepBytes = samplesPerStep * bytesPerSample();
    // Pacing runs on a fixed grid of 20 ms deadlines, so late wake-ups do
    // not add up; each deadline releases one step of queued audio.
    bool ticking = false;
    bool wasIdle = true;
    Clock::time_point nextTick;
    size_t allowance = 0;
    // The paced sink takes one step of audio per 20 ms, on its own grid
    // that starts with the first byte played.
    bool sinkTicking = false;
    Clock::time_point sinkTick;
    size_t sinkAllowance = 0;

    for (;;) {
        bool paced, ended, sinkPaced;
        size_t queued;
        std::shared_ptr<const Voice> voice;
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            paced = paced_;
            sinkPaced = sinkPaced_;
            ended = sourceEnded_;
            queued = source_.size();
            if (voice_ && !ended && queued < bytesPerSecond * bytesPerSample())
                voice = voice_;
        }
        if (voice && sourceOpen) {
            // Outside the lock: the voice is the caller's code.  A voice
            // that has nothing more to say leaves the queue to run down.
            std::vector<uint8_t> piece = (*voice)(bytesPerSecond);
            if (!piece.empty()) {
                feed(piece);
                continue;
            }
        }
        if (sourceOpen && queued == 0 && ended) {
            // Everything fed has been written: now the daemon reads the end.
            if (kind_ == Kind::Socket) {
                shutdown(farFd_, SHUT_WR);
            } else {
                std::lock_guard lock(mutex_);
                closeFd(farFd_);
            }
            sourceOpen = false;
        }

        size_t may = 0;
        int timeoutMs = -1;
        if (!paced) {
            ticking = false;
            may = queued;
        } else if (sourceOpen) {
            auto now = Clock::now();
            if (!ticking) {
                ticking = true;
                nextTick = now + paceStep;
                allowance = 0;
            }
            if (queued == 0) {
                allowance = 0;
                wasIdle = true;
            } else {
                if (wasIdle && now >= nextTick) {
                    // Audio after a pause starts at the next step of the grid.
                    nextTick += ((now - nextTick) / paceStep + 1) * paceStep;
                }
                wasIdle = false;
                while (now >= nextTick) {
                    allowance += stepBytes;
                    nextTick += paceStep;
                }
                may = std::min(allowance, queued);
                if (may == 0) {
                    auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextTick - now);
                    timeoutMs = int(std::max<long>(1, long(wait.count())));
                }
            }
        }

        size_t sinkMay = SIZE_MAX;
        if (sinkOpen && sinkPaced) {
            auto now = Clock::now();
            if (!sinkTicking) {
                sinkTicking = true;
                sinkTick = now;
                sinkAllowance = stepBytes;
            }
            while (now >= sinkTick + paceStep) {
                sinkAllowance = std::min(sinkAllowance + stepBytes, 2 * stepBytes);
                sinkTick += paceStep;
            }
            sinkMay = sinkAllowance;
            if (sinkMay == 0) {
                auto wait = std::chrono::ceil<std::chrono::milliseconds>(sinkTick + paceStep - now);
                int ms = int(std::max<long>(1, long(wait.count())));
                timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
            }
        }

        short events = 0;
        if (sinkOpen && sinkMay > 0)
            events |= POLLIN;
        if (sourceOpen && may > 0)
            events |= POLLOUT;
        pollfd fds[2] = {{wakeFd_[0], POLLIN, 0}, {events ? farFd_ : -1, events, 0}};
        if (poll(fds, 2, timeoutMs) < 0 && errno != EINTR)
            return;
        if (fds[0].revents)
            drainWake(wakeFd_[0]);
        short got = fds[1].revents;
        if (sinkOpen && sinkMay > 0 && (got & (POLLIN | POLLHUP | POLLERR))) {
            size_t before = playedCountRaw();
            sinkOpen = readSink(sinkMay);
            if (sinkPaced)
                sinkAllowance -= std::min(sinkAllowance, playedCountRaw() - before);
        }
        if (sourceOpen && may > 0 && (got & (POLLOUT | POLLERR))) {
            ssize_t written = writeSource(may);
            if (written < 0)
                sourceOpen = false;
            else if (paced)
                allowance -= std::min(allowance, size_t(written));
        }
    }
}

} // namespace sim
