#include "console.h"

#include <poll.h>
#include <unistd.h>

namespace callctl {

KeyboardMode::KeyboardMode()
{
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_) != 0)
        return;
    struct termios t = saved_;
    t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &t) == 0;
}

KeyboardMode::~KeyboardMode()
{
    if (active_)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
}

int readKey(int ms)
{
    pollfd p{STDIN_FILENO, POLLIN, 0};
    int r = poll(&p, 1, ms);
    if (r <= 0)
        return 0;
    char c;
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 0)
        return -1;
    return n < 0 ? 0 : static_cast<unsigned char>(c);
}

} // namespace callctl
