#include "tty_wait.h"

#include <cerrno>
#include <sys/select.h>
#include <unistd.h>

#include "daemon_util.h"

int waitForTty(int fd, bool forWriting)
{
    if (fd < 0 || fd >= FD_SETSIZE) {
        errno = EBADF;
        return -1;
    }
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval timeout{0, ttyWaitMicroseconds};
    int result = forWriting ? select(fd + 1, nullptr, &set, nullptr, &timeout)
                            : select(fd + 1, &set, nullptr, nullptr, &timeout);
    if (result > 0 && !FD_ISSET(fd, &set))
        return 0;
    return result;
}

namespace {

// Whether the ttyI has room at this moment (no waiting).
bool writableNow(int fd)
{
    if (fd < 0 || fd >= FD_SETSIZE)
        return false;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval now{0, 0};
    return select(fd + 1, nullptr, &set, nullptr, &now) > 0;
}

// Writes after the first that a line with room still gets: a signal can
// cut a write short (or end it before it began) when the process was
// merely not running, and the line has not refused anything then.
constexpr int writesWhileRoom = 4;

} // namespace

ssize_t writeTtyWithin(int fd, const uint8_t* data, size_t length)
{
    int ready = waitForTty(fd, true);
    if (ready == 0 || (ready < 0 && errno == EINTR))
        return 0;
    size_t written = 0;
    for (int attempt = 0; attempt < writesWhileRoom && written < length; attempt++) {
        if (attempt > 0 && !writableNow(fd))
            break;
        // A writable tty may have room for less than we hand it, and a
        // blocking write then waits for the rest; the bound ends that wait
        // with what was taken.
        boundNextWrite(ttyWaitMicroseconds);
        ssize_t r = write(fd, data + written, length - written);
        int saved = errno;
        boundNextWrite(0);
        if (r > 0) {
            written += static_cast<size_t>(r);
        } else if (r < 0 && saved != EINTR && saved != EAGAIN && saved != EWOULDBLOCK) {
            if (written > 0)
                return static_cast<ssize_t>(written);
            errno = saved;
            return -1;
        }
    }
    return static_cast<ssize_t>(written);
}
