#include "daemon_util.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t shutdownSignalled = 0;

void noteShutdown(int) { shutdownSignalled = 1; }

// Interrupts a write that outlasts its bound (boundNextWrite), or one a
// parent ends (stopWorker); does nothing else.
void noteAlarm(int) {}

void catchSignal(int signal, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: the interrupted wait returns
    sigaction(signal, &action, nullptr);
}

} // namespace

int argumentValue(const char* text)
{
    long v = strtol(text, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

void prepareDaemonProcess()
{
    // A buffer of our own: the C library only honours a change of buffering
    // without one while nothing has been printed, and this must hold whenever
    // it is called.
    static char lineBuffer[BUFSIZ];
    fflush(stdout);
    setvbuf(stdout, lineBuffer, _IOLBF, sizeof lineBuffer);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    catchSignal(SIGTERM, noteShutdown);
    catchSignal(SIGINT, noteShutdown);
    catchSignal(SIGHUP, noteShutdown);
    catchSignal(SIGALRM, noteAlarm);
}

bool shutdownRequested() { return shutdownSignalled != 0; }

void boundNextWrite(long microseconds)
{
    itimerval bound{{0, 0}, {microseconds / 1000000, microseconds % 1000000}};
    setitimer(ITIMER_REAL, &bound, nullptr);
}

void printBanner(const char* prefix, unsigned major, unsigned minor, unsigned patch, unsigned build)
{
    printf("%sVersion %u.%u.%u (build %u)\n", prefix, major, minor, patch, build);
}

void printDying(const char* prefix)
{
    printf("%sDying\n", prefix);
    fflush(stdout);
}

ControlBlock* attachControlBlock(int segmentId, const char* prefix)
{
    struct shmid_ds info;
    if (shmctl(segmentId, IPC_STAT, &info) < 0) {
        fprintf(stderr, "%sCan't find shared memory segment %d: %s\n", prefix, segmentId, strerror(errno));
        return nullptr;
    }
    if (runningPrivileged()) {
        const char* why = segmentDistrust(info.shm_perm.uid, info.shm_perm.cuid, info.shm_perm.mode, getuid());
        if (why) {
            fprintf(stderr, "%sShared memory segment %d %s; refusing to run privileged\n", prefix, segmentId, why);
            return nullptr;
        }
    }
    if (info.shm_segsz < controlBlockSize) {
        fprintf(stderr, "%sShared memory segment %d holds %zu bytes, fewer than the %zu of the control block\n",
                prefix, segmentId, static_cast<size_t>(info.shm_segsz), controlBlockSize);
        return nullptr;
    }
    void* p = shmat(segmentId, nullptr, 0);
    if (p == reinterpret_cast<void*>(-1)) {
        fprintf(stderr, "%sCan't attach shared memory segment %d: %s\n", prefix, segmentId, strerror(errno));
        return nullptr;
    }
    return static_cast<ControlBlock*>(p);
}

bool runningPrivileged() { return geteuid() == 0 || geteuid() != getuid() || getegid() != getgid(); }

const char* segmentDistrust(uid_t owner, uid_t creator, unsigned mode, uid_t realUid)
{
    if (mode & (S_IWGRP | S_IWOTH))
        return "is writable by others";
    if (owner != realUid)
        return "belongs to another user";
    if (creator != realUid && creator != 0)
        return "was created by another user";
    return nullptr;
}

bool chunkSizeValid(int chunkSize, const char* prefix)
{
    if (chunkSize >= 1 && chunkSize <= 65536)
        return true;
    fprintf(stderr, "%sChunk size %d is outside 1...65536\n", prefix, chunkSize);
    return false;
}

pid_t forkWorker()
{
    fflush(nullptr);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) // died before the request was in place
            shutdownSignalled = 1;
    }
    return pid;
}

bool workerEnded(pid_t* pid, int* status)
{
    if (*pid <= 0 || waitpid(*pid, status, WNOHANG) != *pid)
        return false;
    *pid = 0;
    return true;
}

void waitForWorker(pid_t* pid)
{
    if (*pid <= 0)
        return;
    while (waitpid(*pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    *pid = 0;
}

void stopWorker(pid_t* pid)
{
    constexpr useconds_t nudgeMicroseconds = 2000;
    while (*pid > 0) {
        pid_t r = waitpid(*pid, nullptr, WNOHANG);
        if (r == *pid || (r < 0 && errno != EINTR)) {
            *pid = 0;
            return;
        }
        kill(*pid, SIGALRM);
        usleep(nudgeMicroseconds);
    }
}

void reportLostWorker(const char* prefix, const char* worker, int status, ControlBlock& cb)
{
    writeWord(cb.errorFlag, 1);
    if (WIFSIGNALED(status))
        fprintf(stderr, "%s%s ended while running: killed by signal %d (%s)\n", prefix, worker, WTERMSIG(status),
                strsignal(WTERMSIG(status)));
    else
        fprintf(stderr, "%s%s ended while running: exit status %d\n", prefix, worker, WEXITSTATUS(status));
}

PathName pathFrom(const char (&field)[pathFieldSize])
{
    PathName p;
    memcpy(p.text, field, pathFieldSize);
    p.text[pathFieldSize] = '\0';
    p.valid = memchr(p.text, '\0', pathFieldSize) != nullptr;
    return p;
}

FILE* openFile(const PathName& path, FileMode mode)
{
    if (!path.valid) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    int flags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK; // O_NONBLOCK: a FIFO must not hang the open
    const char* streamMode = "rb";
    switch (mode) {
    case FileMode::Read:
        flags |= O_RDONLY;
        break;
    case FileMode::Update:
        flags |= O_RDWR;
        streamMode = "r+b";
        break;
    case FileMode::Create:
        flags |= O_WRONLY | O_CREAT | O_TRUNC;
        streamMode = "wb";
        break;
    }
    int fd = open(path.text, flags, 0666);
    if (fd < 0)
        return nullptr;
    FILE* f = fdopen(fd, streamMode);
    if (!f) {
        int saved = errno;
        close(fd);
        errno = saved;
        return nullptr;
    }
    if (mode != FileMode::Read)
        setvbuf(f, nullptr, _IONBF, 0);
    return f;
}

TapeFileState tapeFileState(int fd, uint64_t needed, long long* size)
{
    struct stat st;
    *size = -1;
    if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode))
        return TapeFileState::Usable; // not a file we can judge: the write tells
    *size = st.st_size;
    if (st.st_nlink == 0)
        return TapeFileState::Deleted;
    if (static_cast<uint64_t>(st.st_size) < needed)
        return TapeFileState::CutShort;
    return TapeFileState::Usable;
}

void undoShortTapeWrite(FILE* file, long long sizeBefore, uint64_t offset, size_t stored)
{
    if (sizeBefore >= 0 && offset + stored > static_cast<uint64_t>(sizeBefore)) {
        int ignored = ftruncate(fileno(file), sizeBefore);
        (void)ignored;
    }
    // Absolute: another process may have moved the shared offset since this
    // stream last knew it.
    fseek(file, static_cast<long>(offset), SEEK_SET);
    clearerr(file);
}

const char* describeTapeFileState(TapeFileState state)
{
    return state == TapeFileState::Deleted ? "was deleted" : "was cut short";
}

bool setFileOwnership(const char* prefix, const ControlBlock& cb, FILE* file, const PathName& path)
{
    uint32_t uid = readWord(cb.ownerUid);
    uint32_t gid = readWord(cb.ownerGid);
    int fd = fileno(file);
    struct stat st;
    if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode) || fchown(fd, uid, gid) < 0) {
        fprintf(stderr, "%sCould NOT set owner of %s to %u.%u\n", prefix, path.text, uid, gid);
        return false;
    }
    printf("%sSet owner of %s to %u.%u\n", prefix, path.text, uid, gid);
    if (fchmod(fd, 0600) < 0) {
        printf("%sCould NOT set access permissions of %s to rw-------\n", prefix, path.text);
        return false;
    }
    printf("%sSet access permissions of %s to rw-------\n", prefix, path.text);
    return true;
}
