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

ssize_t writeTtyWithin(int fd, const uint8_t* data, size_t length)
{
    int ready = waitForTty(fd, true);
    if (ready == 0 || (ready < 0 && errno == EINTR))
        return 0;
    // A writable tty may have room for less than we hand it, and a blocking
    // write then waits for the rest; the bound ends that wait with what was
    // taken.
    boundNextWrite(ttyWaitMicroseconds);
    ssize_t r = write(fd, data, length);
    int saved = errno;
    boundNextWrite(0);
    if (r < 0 && (saved == EINTR || saved == EAGAIN || saved == EWOULDBLOCK))
        return 0;
    errno = saved;
    return r;
}
