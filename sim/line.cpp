#include "line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>

#include "fd_util.h"

namespace sim {

using namespace detail;

std::vector<uint8_t> doubleDle(std::span<const uint8_t> audio)
{
    std::vector<uint8_t> out;
    out.reserve(audio.size() + audio.size() / 16);
    for (uint8_t b : audio) {
        out.push_back(b);
        if (b == DLE)
            out.push_back(DLE);
    }
    return out;
}

void undoubleDle(std::span<const uint8_t> in, std::vector<uint8_t>& out, bool& pendingDle, size_t* stray)
{
    for (uint8_t b : in) {
        if (pendingDle) {
            pendingDle = false;
            if (b == DLE)
                out.push_back(DLE);
            else if (stray)
                ++*stray;
        } else if (b == DLE) {
            pendingDle = true;
        } else {
            out.push_back(b);
        }
    }
}

namespace {

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "sim line: %s: %s\n", what, std::strerror(errno));
    std::abort();
}

} // namespace

Line::Line(Kind kind) : kind_(kind)
{
    ignoreSigpipe();
    if (pipe2(wakeFd_, O_CLOEXEC | O_NONBLOCK) != 0)
        fail("pipe2");
    if (kind == Kind::Pty) {
        farFd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (farFd_ < 0 || grantpt(farFd_) != 0 || unlockpt(farFd_) != 0)
            fail("posix_openpt");
        char name[128];
        if (ptsname_r(farFd_, name, sizeof name) != 0)
            fail("ptsname_r");
        daemonFd_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (daemonFd_ < 0)
            fail(name);
        // The ttyI in voice mode passes every byte untouched: no echo, no
        // line editing, no CR/LF translation, no flow control characters.
        termios mode;
        if (tcgetattr(daemonFd_, &mode) != 0)
            fail("tcgetattr");
        cfmakeraw(&mode);
        if (tcsetattr(daemonFd_, TCSANOW, &mode) != 0)
            fail("tcsetattr");
    } else {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            fail("socketpair");
        farFd_ = pair[0];
        daemonFd_ = pair[1];
    }
    // Kept after closeDaemonEnd() to see how much the daemon has not read
    // yet (waitTaken); it never reads or writes.
    probeFd_ = fcntl(daemonFd_, F_DUPFD_CLOEXEC, 3);
    if (probeFd_ < 0)
        fail("dup");
    if (!setNonBlocking(farFd_))
        fail("O_NONBLOCK");
    reader_ = std::thread([this] { drain(); });
}

Line::~Line()
{
    stopReader();
    closeFd(farFd_);
    closeFd(daemonFd_);
    closeFd(probeFd_);
    closeFd(wakeFd_[0]);
    closeFd(wakeFd_[1]);
}

void Line::closeDaemonEnd()
{
    closeFd(daemonFd_);
}

bool Line::sendAudio(std::span<const uint8_t> audio)
{
    return sendRaw(doubleDle(audio));
}

bool Line::sendCode(uint8_t code)
{
    const uint8_t bytes[2] = {DLE, code};
    return sendRaw(bytes);
}

bool Line::sendRaw(std::span<const uint8_t> bytes)
{
    if (farFd_ < 0)
        return false;
    return writeAll(farFd_, bytes);
}

size_t Line::unread() const
{
    int queued = 0;
    if (probeFd_ < 0 || ioctl(probeFd_, FIONREAD, &queued) != 0)
        return 0;
    return size_t(queued);
}

bool Line::waitTaken(std::chrono::milliseconds timeout) const
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (unread() != 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(200us);
    }
    return true;
}

std::vector<uint8_t> Line::received() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

size_t Line::receivedCount() const
{
    std::lock_guard lock(mutex_);
    return received_.size();
}

std::vector<uint8_t> Line::receivedRaw() const
{
    std::lock_guard lock(mutex_);
    return raw_;
}

size_t Line::strayCodes() const
{
    std::lock_guard lock(mutex_);
    return stray_;
}

bool Line::waitForReceived(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return received_.size() >= count; });
}

void Line::pause(bool paused)
{
    {
        std::lock_guard lock(mutex_);
        paused_ = paused;
    }
    wake(wakeFd_[1]);
    // Only once the reader has seen it: a test that pauses and then writes
    // must not have its bytes taken by a read already under way.
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 2s, [&] { return pauseSeen_ == paused || !readerRunning_; });
}

void Line::hangUp()
{
    stopReader();
    // Whatever the daemon wrote before the hang-up still counts as received.
    readAvailable();
    closeFd(farFd_);
    // The probe is a copy of the daemon's end: on a socket it would keep the
    // daemon from seeing the end of data.
    closeFd(probeFd_);
}

void Line::stopReader()
{
    if (!reader_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake(wakeFd_[1]);
    reader_.join();
}

// Reads what is there now; false once the daemon's side is gone for good
// (EOF on a socket, EIO on a pty master).
bool Line::readAvailable()
{
    if (farFd_ < 0)
        return false;
    uint8_t buffer[4096];
    for (;;) {
        ssize_t n = read(farFd_, buffer, sizeof buffer);
        if (n > 0) {
            std::lock_guard lock(mutex_);
            raw_.insert(raw_.end(), buffer, buffer + n);
            undoubleDle(std::span(buffer, size_t(n)), received_, pendingDle_, &stray_);
            changed_.notify_all();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && errno == EAGAIN;
    }
}

void Line::drain()
{
    bool farOpen = true;
    for (;;) {
        bool listen;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                readerRunning_ = false;
                changed_.notify_all();
                return;
            }
            listen = farOpen && !paused_;
            pauseSeen_ = paused_;
            changed_.notify_all();
        }
        pollfd fds[2] = {{wakeFd_[0], POLLIN, 0}, {listen ? farFd_ : -1, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        if (fds[0].revents)
            drainWake(wakeFd_[0]);
        if (fds[1].revents)
            farOpen = readAvailable();
    }
    std::lock_guard lock(mutex_);
    readerRunning_ = false;
    changed_.notify_all();
}

} // namespace sim
