#include "bench_kit.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace bench {

int64_t nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleepUs(int64_t us)
{
    timespec ts{static_cast<time_t>(us / 1000000), static_cast<long>((us % 1000000) * 1000)};
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
    }
}

namespace {

bool setNonBlocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

} // namespace

bool makeLine(DescriptorPair& p)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        return false;
    if (grantpt(master) < 0 || unlockpt(master) < 0) {
        close(master);
        return false;
    }
    char name[64];
    if (ptsname_r(master, name, sizeof name) != 0) {
        close(master);
        return false;
    }
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (slave < 0 || tcgetattr(slave, &t) < 0) {
        close(master);
        if (slave >= 0)
            close(slave);
        return false;
    }
    cfmakeraw(&t);
    if (tcsetattr(slave, TCSANOW, &t) < 0 || !setNonBlocking(master)) {
        close(master);
        close(slave);
        return false;
    }
    p.far = master;
    p.daemon = slave;
    return true;
}

bool makeSoundSocket(DescriptorPair& p)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0)
        return false;
    setNonBlocking(sv[0]);
    p.far = sv[0];
    p.daemon = sv[1];
    return true;
}

bool makeSoundPipe(DescriptorPair& p, bool toProgram, int capacity)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0)
        return false;
    if (capacity > 0)
        fcntl(fds[0], F_SETPIPE_SZ, capacity);
    p.far = toProgram ? fds[1] : fds[0];
    p.daemon = toProgram ? fds[0] : fds[1];
    setNonBlocking(p.far);
    return true;
}

void closePair(DescriptorPair& p)
{
    if (p.far >= 0)
        close(p.far);
    if (p.daemon >= 0)
        close(p.daemon);
    p.far = p.daemon = -1;
}

pid_t spawnProgram(const std::string& program, const std::vector<std::string>& args, const std::vector<int>& fds,
                   const std::string& logPath)
{
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int log = open(logPath.empty() ? "/dev/null" : logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (log < 0)
        return -1;
    pid_t pid = fork();
    if (pid != 0) {
        close(log);
        return pid;
    }
    // Child: move the descriptors above every target number first, so that
    // placing one never overwrites another.
    std::vector<int> high;
    for (int fd : fds)
        high.push_back(fcntl(fd, F_DUPFD, 3 + static_cast<int>(fds.size()) + 64));
    for (size_t i = 0; i < high.size(); ++i)
        if (high[i] < 0 || dup2(high[i], 3 + static_cast<int>(i)) < 0)
            _exit(127);
    int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, 0);
    dup2(log, 1);
    dup2(log, 2);
    syscall(SYS_close_range, 3 + fds.size(), ~0U, 0);
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

bool waitChild(pid_t pid, std::chrono::milliseconds timeout, int* status)
{
    int st = 0;
    bool ended = waitUntil(
        [&] {
            pid_t r = waitpid(pid, &st, WNOHANG);
            return r == pid || (r < 0 && errno == ECHILD);
        },
        timeout, 100);
    if (ended && status)
        *status = st;
    return ended;
}

int openProcess(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

bool processEnded(int pidFd, int timeoutMs)
{
    pollfd p{pidFd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

} // namespace bench
