#include "call.h"

#include <cerrno>
#include <sys/select.h>

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
