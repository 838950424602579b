// Descriptor helpers the stand-ins share.  Our ends of every device are
// non-blocking so that no stand-in thread can hang on a daemon that stopped
// reading; the daemon's ends stay blocking, as real devices are.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <span>
#include <unistd.h>

namespace sim::detail {

inline bool setNonBlocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// A daemon that goes away while we write to its pipe or socket must give us
// EPIPE, not kill the test program.
inline void ignoreSigpipe()
{
    static const bool done = [] {
        std::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)done;
}

// Writes every byte to a non-blocking descriptor, waiting while it is full.
// Gives up after `patience` without progress, so a test whose daemon stopped
// reading fails instead of hanging.
inline bool writeAll(int fd, std::span<const uint8_t> bytes,
                     std::chrono::milliseconds patience = std::chrono::milliseconds(5000))
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return false;
        pollfd p{fd, POLLOUT, 0};
        int r = poll(&p, 1, int(patience.count()));
        if (r == 0)
            return false;
        if (r < 0 && errno != EINTR)
            return false;
    }
    return true;
}

inline void wake(int fd)
{
    uint8_t b = 1;
    ssize_t n = write(fd, &b, 1);
    (void)n; // a full wake pipe already wakes the thread
}

inline void drainWake(int fd)
{
    uint8_t buffer[64];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
}

inline void closeFd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

} // namespace sim::detail
