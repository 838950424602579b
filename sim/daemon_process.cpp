#include "daemon_process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "line.h"
#include "segment.h"
#include "sound_device.h"

extern char** environ;

namespace sim {

#ifndef ORVEX_BUILD_BIN_DIR
#define ORVEX_BUILD_BIN_DIR "."
#endif

std::string programPath(std::string_view name)
{
    const char* dir = std::getenv("ORVEX_BIN_DIR");
    std::string path = dir && *dir ? dir : ORVEX_BUILD_BIN_DIR;
    path += '/';
    path += name;
    return path;
}

namespace {

// The environment of this process with `extra` ("NAME=value") added; an
// extra entry replaces one of the same name.
std::vector<std::string> environmentWith(const std::vector<std::string>& extra)
{
    std::vector<std::string> result;
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry(*e);
        std::string_view name = entry.substr(0, entry.find('='));
        bool replaced = std::any_of(extra.begin(), extra.end(), [&](const std::string& x) {
            return x.size() > name.size() && x.compare(0, name.size(), name) == 0 && x[name.size()] == '=';
        });
        if (!replaced)
            result.emplace_back(entry);
    }
    result.insert(result.end(), extra.begin(), extra.end());
    return result;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    for (auto& t : texts)
        pointers.push_back(t.data());
    pointers.push_back(nullptr);
    return pointers;
}

void writeText(int fd, const char* text)
{
    ssize_t n = write(fd, text, std::strlen(text));
    (void)n;
}

// Runs in the child between fork and exec.  The test program has threads,
// so only async-signal-safe calls are allowed here: no allocation, no stdio.
[[noreturn]] void execChild(const char* path, char* const* argv, char* const* envp, const std::vector<int>& keep,
                            int outFd, int errFd, int deathSignal, pid_t parent)
{
    setpgid(0, 0);
    if (deathSignal != 0) {
        prctl(PR_SET_PDEATHSIG, deathSignal);
        if (getppid() != parent) // gone before the request was in place
            _exit(127);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // The kit ignores SIGPIPE in the test program; the daemon decides for itself.
    struct sigaction dflt = {};
    dflt.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dflt, nullptr);

    if (dup2(outFd, 1) < 0 || dup2(errFd, 2) < 0)
        _exit(127);
    if (std::find(keep.begin(), keep.end(), 0) == keep.end()) {
        int null = open("/dev/null", O_RDONLY);
        if (null > 0) {
            dup2(null, 0);
            close(null);
        }
    }
    // Every descriptor of ours that is not listed stays behind, whether or
    // not it was opened close-on-exec.  `keep` is sorted.
    int from = 3;
    for (int fd : keep) {
        if (fd < from)
            continue;
        if (fd > from)
            syscall(SYS_close_range, unsigned(from), unsigned(fd - 1), 0u);
        from = fd + 1;
    }
    syscall(SYS_close_range, unsigned(from), ~0u, 0u);
    for (int fd : keep) {
        int flags = fcntl(fd, F_GETFD);
        if (flags >= 0)
            fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC);
    }
    execve(path, argv, envp);
    int error = errno;
    writeText(2, "sim: cannot execute ");
    writeText(2, path);
    writeText(2, ": ");
    writeText(2, strerrordesc_np(error)); // a static text: no locale, no allocation
    writeText(2, "\n");
    _exit(127);
}

} // namespace

bool DaemonProcess::start(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<int>& inheritFds, const std::vector<std::string>& env)
{
    if (pid_ > 0)
        return false;
    // Orphaned workers of a daemon come to us, so the group can be reaped
    // completely and no zombie outlives the test.
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    std::vector<std::string> argTexts = args;
    if (argTexts.empty())
        argTexts.push_back(program);
    std::vector<char*> argv = pointersTo(argTexts);
    std::vector<std::string> envTexts = environmentWith(env);
    std::vector<char*> envp = pointersTo(envTexts);
    std::vector<int> keep = inheritFds;
    std::sort(keep.begin(), keep.end());

    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        return false;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return false;
    }

    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0)
        execChild(program.c_str(), argv.data(), envp.data(), keep, outPipe[1], errPipe[1], deathSignal_, parent);
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        return false;
    }
    // Also here, so that a kill of the group right after start cannot miss a
    // child that has not run yet.
    setpgid(pid, pid);
    pid_ = pid;
    outReader_ = std::thread([this, fd = outPipe[0]] { readOutput(fd, false); });
    errReader_ = std::thread([this, fd = errPipe[0]] { readOutput(fd, true); });
    return true;
}

void DaemonProcess::readOutput(int fd, bool isErr)
{
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::lock_guard lock(mutex_);
        (isErr ? err_ : out_).append(buffer, size_t(n));
        changed_.notify_all();
    }
    close(fd);
    std::lock_guard lock(mutex_);
    ++readersDone_;
    changed_.notify_all();
}

bool DaemonProcess::running() const
{
    if (pid_ <= 0 || reaped_)
        return false;
    siginfo_t info = {};
    // WNOWAIT: look without reaping, so wait() still gets the status.
    if (waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return false;
    return info.si_pid == 0;
}

void DaemonProcess::recordStatus(int status)
{
    reaped_ = true;
    if (WIFEXITED(status))
        exitStatus_ = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        signal_ = WTERMSIG(status);
}

std::optional<int> DaemonProcess::wait(std::chrono::milliseconds timeout)
{
    if (pid_ <= 0)
        return std::nullopt;
    if (!reaped_) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            int status = 0;
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                recordStatus(status);
                break;
            }
            if (r < 0 && errno != EINTR) {
                reaped_ = true; // not ours any more: nothing to wait for
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                killGroup();
                return std::nullopt;
            }
            std::this_thread::sleep_for(1ms);
        }
        // The last lines may still be in the pipes: give the readers a moment
        // to reach the end (workers that outlive the parent keep it open).
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 1000ms, [&] { return readersDone_ == 2; });
    }
    return exitStatus_;
}

void DaemonProcess::kill(int signal)
{
    if (pid_ > 0)
        killpg(pid_, signal); // ESRCH: the whole group is gone already
}

// SIGKILL to the group, then reap the leader and every member that came to
// us as an orphan.
void DaemonProcess::killGroup()
{
    if (pid_ <= 0)
        return;
    killpg(pid_, SIGKILL);
    if (!reaped_) {
        int status = 0;
        pid_t r;
        while ((r = waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
        }
        if (r == pid_)
            recordStatus(status);
        reaped_ = true;
    }
    reapOrphans();
}

void DaemonProcess::reapOrphans()
{
    // A killed member turns into a zombie of its parent; ours, as the
    // subreaper, once the leader is gone.  Reap those of this group only, so
    // another DaemonProcess's status is never taken.
    for (int round = 0; round < 200; ++round) {
        bool left = false;
        DIR* proc = opendir("/proc");
        if (!proc)
            return;
        while (dirent* entry = readdir(proc)) {
            char* end;
            long pid = std::strtol(entry->d_name, &end, 10);
            if (*end || pid <= 0)
                continue;
            char path[64];
            std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
            FILE* f = std::fopen(path, "r");
            if (!f)
                continue;
            char text[512];
            size_t n = std::fread(text, 1, sizeof text - 1, f);
            std::fclose(f);
            text[n] = 0;
            // pid (comm) state ppid pgrp ...; comm may hold blanks and ')'.
            const char* close = std::strrchr(text, ')');
            char state;
            long ppid, pgrp;
            if (!close || std::sscanf(close + 1, " %c %ld %ld", &state, &ppid, &pgrp) != 3 || pgrp != pid_)
                continue;
            if (ppid == getpid())
                waitpid(pid_t(pid), nullptr, WNOHANG);
            left = true;
        }
        closedir(proc);
        if (!left)
            return;
        std::this_thread::sleep_for(1ms);
    }
}

DaemonProcess::~DaemonProcess()
{
    if (pid_ > 0)
        killGroup();
    if (outReader_.joinable())
        outReader_.join();
    if (errReader_.joinable())
        errReader_.join();
}

namespace {

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    return lines;
}

bool hasLineWith(const std::string& text, std::string_view wanted)
{
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        if (std::string_view(text).substr(start, nl - start).find(wanted) != std::string_view::npos)
            return true;
    }
    return false;
}

} // namespace

Lines DaemonProcess::lines() const
{
    std::lock_guard lock(mutex_);
    return Lines{splitLines(out_), splitLines(err_)};
}

std::string DaemonProcess::output() const
{
    std::lock_guard lock(mutex_);
    return out_;
}

std::string DaemonProcess::errors() const
{
    std::lock_guard lock(mutex_);
    return err_;
}

bool DaemonProcess::waitForLine(std::string_view text, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return hasLineWith(out_, text) || hasLineWith(err_, text); });
}

namespace {

bool startDaemon(DaemonProcess& d, std::string_view name, const std::vector<int>& fds, int chunkSize,
                 const Segment& seg, const std::vector<std::string>& env)
{
    std::vector<std::string> args{programPath(name)};
    for (int fd : fds)
        args.push_back(std::to_string(fd));
    args.push_back(std::to_string(chunkSize));
    args.push_back(std::to_string(seg.id()));
    return d.start(args[0], args, fds, env);
}

} // namespace

bool startVoicePhone(DaemonProcess& d, const Line& line, const SoundDevice& sound, int chunkSize, const Segment& seg,
                     const std::vector<std::string>& env)
{
    return startDaemon(d, "voicephone-daemon", {line.daemonFd(), sound.daemonFd()}, chunkSize, seg, env);
}

bool startPlayback(DaemonProcess& d, const SoundDevice& sound, int chunkSize, const Segment& seg,
                   const std::vector<std::string>& env)
{
    return startDaemon(d, "playback-daemon", {sound.daemonFd()}, chunkSize, seg, env);
}

bool startRecord(DaemonProcess& d, const SoundDevice& sound, int chunkSize, const Segment& seg,
                 const std::vector<std::string>& env)
{
    return startDaemon(d, "record-daemon", {sound.daemonFd()}, chunkSize, seg, env);
}

} // namespace sim
