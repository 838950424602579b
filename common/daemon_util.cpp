#include "daemon_util.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

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
    return fork();
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
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
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
