#include "guardian.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "control_block.h"

namespace callctl {

namespace {

constexpr pid_t released = -1;
constexpr int maxGroups = 32;

void pause20ms()
{
    timespec t{0, 20 * 1000 * 1000};
    nanosleep(&t, nullptr);
}

bool anyAlive(const pid_t* groups, int n)
{
    for (int i = 0; i < n; ++i)
        if (kill(-groups[i], 0) == 0)
            return true;
    return false;
}

// The guardian's life, in the child of a process with threads: system calls
// only, no allocation.
[[noreturn]] void guard(int fd, int segmentId)
{
    // A session of its own: whatever kills callctl's process group (a shell
    // ending a job, a harness's time limit) leaves the guardian to do its work.
    setsid();
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGTSTP})
        sigaction(s, &ignore, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Nothing of callctl's stays open here: a line, a socket or an output
    // pipe held by the guardian would keep its reader waiting.
    if (fd > 0)
        syscall(SYS_close_range, 0u, unsigned(fd - 1), 0u);
    syscall(SYS_close_range, unsigned(fd + 1), ~0u, 0u);

    pid_t groups[maxGroups];
    int n = 0;
    for (;;) {
        pid_t group = 0;
        ssize_t got = read(fd, &group, sizeof group);
        if (got < 0 && errno == EINTR)
            continue;
        if (got == static_cast<ssize_t>(sizeof group) && group == released)
            _exit(0);
        if (got == static_cast<ssize_t>(sizeof group)) {
            if (group > 0 && n < maxGroups)
                groups[n++] = group;
            continue;
        }
        break; // callctl is gone
    }

    void* address = shmat(segmentId, nullptr, 0);
    if (address != reinterpret_cast<void*>(-1)) {
        // First the way the controlling application ends a run.
        ControlBlock* cb = static_cast<ControlBlock*>(address);
        writeWord(cb->stopRequest, 1);
        writeWord(cb->a2tRunning, 0);
        writeWord(cb->t2aRunning, 0);
        writeWord(cb->playRunning, 0);
        writeWord(cb->recordRunning, 0);
        for (int i = 0; i < 150 && anyAlive(groups, n); ++i)
            pause20ms();
        shmdt(address);
    }
    for (int sig : {SIGTERM, SIGKILL}) {
        for (int i = 0; i < n; ++i)
            kill(-groups[i], sig);
        for (int i = 0; i < 100 && anyAlive(groups, n); ++i)
            pause20ms();
    }
    shmctl(segmentId, IPC_RMID, nullptr);
    _exit(0);
}

} // namespace

Guardian::~Guardian()
{
    release();
}

bool Guardian::start(int segmentId)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return false;
    pid_ = fork();
    if (pid_ < 0) {
        close(p[0]);
        close(p[1]);
        return false;
    }
    if (pid_ == 0) {
        close(p[1]);
        guard(p[0], segmentId);
    }
    close(p[0]);
    pipe_ = p[1];
    return true;
}

void Guardian::protect(pid_t processGroup)
{
    if (pipe_ >= 0 && write(pipe_, &processGroup, sizeof processGroup) < 0) {
        // A guardian that is gone guards nothing; the run goes on.
    }
}

void Guardian::release()
{
    if (pipe_ < 0)
        return;
    pid_t word = released;
    if (write(pipe_, &word, sizeof word) < 0) {
        // Already gone: nothing for it to do.
    }
    close(pipe_);
    pipe_ = -1;
    if (pid_ > 0)
        waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

} // namespace callctl
