// Test-only LD_PRELOAD library: the calls of fault_rules.h fail on cue in a
// real daemon.  Without ORVEX_FAULTS every call goes straight through.
//
// ORVEX_FAULT_LOG names a file that gets one line per injected fault
// ("<pid> <call> <rule>"), so a test can tell that its fault really fired.

#include "fault_rules.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

using ForkFn = pid_t (*)();
using ReadFn = ssize_t (*)(int, void*, size_t);
using WriteFn = ssize_t (*)(int, const void*, size_t);
using SelectFn = int (*)(int, fd_set*, fd_set*, fd_set*, struct timeval*);
using FwriteFn = size_t (*)(const void*, size_t, size_t, FILE*);
using FreadFn = size_t (*)(void*, size_t, size_t, FILE*);
using OpenFn = int (*)(const char*, int, ...);

ForkFn realFork;
ReadFn realRead;
WriteFn realWrite;
SelectFn realSelect;
FwriteFn realFwrite;
FreadFn realFread;
OpenFn realOpen;
OpenFn realOpen64;

faults::RuleSet rules;
bool active;
int processIndex;  // 0: the process started with the rules; n: made by our n-th fork
int forksMade;
char logPath[256];

template <typename Fn>
void resolve(Fn& fn, const char* name)
{
    fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// Another library's constructor may call in before ours has run.
template <typename Fn>
Fn real(Fn& fn, const char* name)
{
    if (!fn)
        resolve(fn, name);
    return fn;
}

__attribute__((constructor)) void loadRules()
{
    resolve(realFork, "fork");
    resolve(realRead, "read");
    resolve(realWrite, "write");
    resolve(realSelect, "select");
    resolve(realFwrite, "fwrite");
    resolve(realFread, "fread");
    resolve(realOpen, "open");
    resolve(realOpen64, "open64");
    const char* text = getenv("ORVEX_FAULTS");
    if (text && *text) {
        active = faults::parseRules(text, &rules);
        if (!active) {
            // A rule that cannot be read must not look like a fault that never fired.
            fprintf(stderr, "orvex_faults: cannot read ORVEX_FAULTS=%s\n", text);
            _exit(99);
        }
    }
    const char* log = getenv("ORVEX_FAULT_LOG");
    if (log && strlen(log) < sizeof logPath)
        strcpy(logPath, log);
}

void note(faults::Call call, const faults::Decision& d)
{
    if (logPath[0] == '\0')
        return;
    char line[96];
    int n = snprintf(line, sizeof line, "%d %s %d\n", static_cast<int>(getpid()), faults::callName(call), d.rule);
    int saved = errno;
    int fd = real(realOpen, "open")(logPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        real(realWrite, "write")(fd, line, static_cast<size_t>(n));
        close(fd);
    }
    errno = saved;
}

faults::Decision check(faults::Call call, const faults::Target& target)
{
    if (!active)
        return {};
    faults::Decision d = faults::decide(rules, call, target, processIndex);
    if (d.action == faults::Action::Pass)
        return d;
    note(call, d);
    if (d.action == faults::Action::Raise)
        raise(d.signal);
    return d;
}

// The name of the file behind a descriptor, for rules with a path.
const char* nameOf(int fd, char* buffer, size_t size)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, buffer, size - 1);
    if (n < 0)
        return nullptr;
    buffer[n] = '\0';
    return buffer;
}

bool needsPath(faults::Call call)
{
    for (int i = 0; i < rules.size; ++i)
        if (rules.rules[i].call == call && rules.rules[i].path[0] != '\0')
            return true;
    return false;
}

faults::Decision checkStream(faults::Call call, FILE* stream)
{
    if (!active)
        return {};
    faults::Target t;
    t.fd = fileno(stream);
    char name[512];
    if (needsPath(call))
        t.path = nameOf(t.fd, name, sizeof name);
    return check(call, t);
}

// A failed stream call must leave the stream's error indicator set, as a
// real failure does, so ferror() sees it.
void markStreamError(FILE* stream)
{
    stream->_flags |= 0x0020; // _IO_ERR_SEEN
}

int openWith(OpenFn openCall, const char* path, int flags, va_list args)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE))
        mode = static_cast<mode_t>(va_arg(args, int));
    if (active) {
        faults::Target t;
        t.path = path;
        faults::Decision d = check(faults::Call::Open, t);
        if (d.action == faults::Action::Fail) {
            errno = d.error;
            return -1;
        }
    }
    return openCall(path, flags, mode);
}

} // namespace

extern "C" {

pid_t fork()
{
    faults::Decision d = check(faults::Call::Fork, {});
    if (d.action == faults::Action::Fail || d.action == faults::Action::Short) {
        errno = d.error;
        return -1;
    }
    int next = forksMade + 1;
    pid_t pid = real(realFork, "fork")();
    if (pid == 0) {
        processIndex = next;
        forksMade = 0;
    } else if (pid > 0) {
        forksMade = next;
    }
    return pid;
}

ssize_t read(int fd, void* buffer, size_t count)
{
    faults::Target t;
    t.fd = fd;
    faults::Decision d = check(faults::Call::Read, t);
    if (d.action == faults::Action::Fail) {
        errno = d.error;
        return -1;
    }
    if (d.action == faults::Action::Short && count > static_cast<size_t>(d.shortCount))
        count = static_cast<size_t>(d.shortCount);
    return real(realRead, "read")(fd, buffer, count);
}

ssize_t write(int fd, const void* buffer, size_t count)
{
    faults::Target t;
    t.fd = fd;
    faults::Decision d = check(faults::Call::Write, t);
    if (d.action == faults::Action::Fail) {
        errno = d.error;
        return -1;
    }
    if (d.action == faults::Action::Short && count > static_cast<size_t>(d.shortCount))
        count = static_cast<size_t>(d.shortCount);
    return real(realWrite, "write")(fd, buffer, count);
}

int select(int nfds, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet, struct timeval* timeout)
{
    faults::Target t;
    t.nfds = nfds;
    t.readSet = readSet;
    t.writeSet = writeSet;
    faults::Decision d = check(faults::Call::Select, t);
    if (d.action == faults::Action::Fail) {
        errno = d.error;
        return -1;
    }
    return real(realSelect, "select")(nfds, readSet, writeSet, exceptSet, timeout);
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream)
{
    faults::Decision d = checkStream(faults::Call::Fwrite, stream);
    if (d.action == faults::Action::Fail) {
        errno = d.error;
        markStreamError(stream);
        return 0;
    }
    if (d.action == faults::Action::Short && size > 0) {
        size_t bytes = size * count;
        if (bytes > static_cast<size_t>(d.shortCount)) {
            // Store the first bytes only, as a write that ran out of room does.
            size_t done = real(realFwrite, "fwrite")(data, 1, static_cast<size_t>(d.shortCount), stream);
            errno = d.error;
            markStreamError(stream);
            return done / size;
        }
    }
    return real(realFwrite, "fwrite")(data, size, count, stream);
}

size_t fread(void* data, size_t size, size_t count, FILE* stream)
{
    faults::Decision d = checkStream(faults::Call::Fread, stream);
    if (d.action == faults::Action::Fail) {
        errno = d.error;
        markStreamError(stream);
        return 0;
    }
    if (d.action == faults::Action::Short && size > 0 && size * count > static_cast<size_t>(d.shortCount))
        count = static_cast<size_t>(d.shortCount) / size;
    return real(realFread, "fread")(data, size, count, stream);
}

int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    int fd = openWith(real(realOpen, "open"), path, flags, args);
    va_end(args);
    return fd;
}

int open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    int fd = openWith(real(realOpen64, "open64"), path, flags, args);
    va_end(args);
    return fd;
}

} // extern "C"
