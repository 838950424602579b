#include "line_end.h"

#include <algorithm>
#include <atomic>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

#include "framing.h"

namespace sipline {

namespace {

// The application's end holds back a writer that runs ahead: the kernel's
// smallest send buffer is a few of the daemon's chunks.
constexpr int appSendBuffer = 4096;
// Writes this short go into the kernel as one buffer of our socket (its
// size is half the send buffer less a header, far more than this).
constexpr size_t oneBufferBytes = 2048;

std::string errnoText(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

std::string linkTarget(const std::string& path)
{
    char target[256];
    ssize_t n = readlink(path.c_str(), target, sizeof target);
    return n > 0 && static_cast<size_t>(n) < sizeof target ? std::string(target, static_cast<size_t>(n)) : std::string();
}

} // namespace

LineEnd::~LineEnd()
{
    close();
    // Only while it is still ours: another line may have taken the path.
    if (!link_.empty() && linkTarget(link_) == ptyPath_)
        unlink(link_.c_str());
}

bool LineEnd::openPty(const std::string& link, std::string& error)
{
    kind_ = Kind::Pty;
    fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0) {
        error = errnoText("posix_openpt");
        return false;
    }
    char name[128];
    if (ptsname_r(fd_, name, sizeof name) != 0) {
        error = errnoText("ptsname_r");
        return false;
    }
    ptyPath_ = name;
    // Raw mode is set once through a slave descriptor of our own; closing it
    // leaves the master hung up until the application opens the slave, which
    // is how the application's arrival and departure show.
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        error = errnoText(name);
        return false;
    }
    termios mode;
    if (tcgetattr(slave, &mode) == 0) {
        cfmakeraw(&mode);
        tcsetattr(slave, TCSANOW, &mode);
    }
    ::close(slave);
    if (!link.empty()) {
        // A link left by an earlier run is replaced; anything else at the
        // path is somebody's file, and stays.
        struct stat st;
        if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            error = link + ": exists and is not a symbolic link; not replacing it";
            return false;
        }
        std::string tmp = link + ".new";
        unlink(tmp.c_str());
        if (symlink(name, tmp.c_str()) != 0 || rename(tmp.c_str(), link.c_str()) != 0) {
            error = errnoText(link.c_str());
            unlink(tmp.c_str());
            return false;
        }
        link_ = link;
    }
    return true;
}

bool LineEnd::openSocket(std::string& error)
{
    kind_ = Kind::Socket;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        error = errnoText("socketpair");
        return false;
    }
    fd_ = pair[0];
    appFd_ = pair[1];
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    int size = appSendBuffer;
    setsockopt(appFd_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    socklen_t len = sizeof sendBuffer_;
    if (getsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &sendBuffer_, &len) != 0)
        sendBuffer_ = 0;
    return true;
}

namespace {
std::atomic<unsigned> childSignals{0};
static_assert(std::atomic<unsigned>::is_always_lock_free, "incremented in a signal handler");
unsigned childSignalsSeen = 0;
// Children reaped and not yet asked for, and those we hung up on.
std::unordered_map<pid_t, int> endedChildren;
std::unordered_set<pid_t> hungUpChildren;

bool reapNow()
{
    int status;
    pid_t r;
    while ((r = waitpid(-1, &status, WNOHANG)) > 0)
        endedChildren[r] = status;
    return !(r < 0 && errno == ECHILD);
}
} // namespace

void LineEnd::childSignalled()
{
    childSignals.fetch_add(1, std::memory_order_relaxed);
}

void LineEnd::reapChildren()
{
    unsigned now = childSignals.load(std::memory_order_relaxed);
    if (now == childSignalsSeen)
        return;
    childSignalsSeen = now;
    reapNow();
}

bool LineEnd::childrenLeft()
{
    return reapNow();
}

std::optional<LineEnd::Ended> LineEnd::takeEnded(pid_t pid)
{
    auto at = endedChildren.find(pid);
    if (at == endedChildren.end())
        return std::nullopt;
    Ended e{at->second, hungUpChildren.erase(pid) > 0};
    endedChildren.erase(at);
    return e;
}

bool LineEnd::spawn(const std::string& cmd, const std::string& caller, const std::string& called, std::string& error)
{
    std::string fdText = std::to_string(appFd_);
    pid_t pid = fork();
    if (pid < 0) {
        error = errnoText("fork");
        return false;
    }
    if (pid == 0) {
        if (kind_ == Kind::Socket) {
            // The one descriptor the command inherits on purpose.
            fcntl(appFd_, F_SETFD, 0);
            setenv("SIPLINE_FD", fdText.c_str(), 1);
        } else {
            setenv("SIPLINE_TTY", ptyPath_.c_str(), 1);
        }
        setenv("SIPLINE_CALLER", caller.c_str(), 1);
        setenv("SIPLINE_CALLED", called.c_str(), 1);
        signal(SIGPIPE, SIG_DFL);
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    child_ = pid;
    childEnded_ = false;
    if (appFd_ >= 0) {
        ::close(appFd_);
        appFd_ = -1;
    }
    return true;
}

bool LineEnd::reapChild()
{
    if (child_ > 0 && !childEnded_) {
        reapChildren();
        childEnded_ = endedChildren.count(child_) > 0;
    }
    return childEnded_;
}

bool LineEnd::appPresent()
{
    if (kind_ == Kind::Socket)
        return fd_ >= 0 && !eof_;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP))
        ptyOpened_ = true;
    return ptyOpened_ && !(p.revents & POLLHUP);
}

bool LineEnd::appGone()
{
    if (reapChild())
        return true;
    if (kind_ == Kind::Socket)
        return eof_;
    if (!ptyOpened_) {
        appPresent();
        return false;
    }
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
}

void LineEnd::read(size_t limit, std::vector<uint8_t>& into)
{
    if (fd_ < 0 || eof_ || limit == 0)
        return;
    uint8_t buf[2048];
    size_t want = limit < sizeof buf ? limit : sizeof buf;
    ssize_t n = ::read(fd_, buf, want);
    if (n > 0) {
        into.insert(into.end(), buf, buf + n);
    } else if (n == 0) {
        if (kind_ == Kind::Socket)
            eof_ = true;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != EIO) {
        // EIO is a pty with no application yet, or no longer.
        eof_ = true;
    }
}

void LineEnd::write(std::vector<uint8_t>& framed)
{
    if (writeClosed_)
        framed.clear(); // nobody will read it
    if (fd_ < 0 || framed.empty())
        return;
    size_t room = framed.size();
    // A stream socket takes a write that fits one of its buffers whole or
    // not at all (EAGAIN): a tick's frame needs no question first.
    size_t whole = sendBuffer_ > 4096 ? std::min<size_t>(oneBufferBytes, static_cast<size_t>(sendBuffer_) / 2 - 64) : 0;
    if (kind_ == Kind::Socket && framed.size() > whole) {
        // Longer, it takes at most its free space; asking first keeps the
        // cut at a unit boundary.
        int queued = 0;
        if (ioctl(fd_, TIOCOUTQ, &queued) == 0)
            room = sendBuffer_ > queued ? static_cast<size_t>(sendBuffer_ - queued) / 2 : 0;
    }
    size_t safe = pairSafeLength(framed, room);
    if (safe == 0)
        return;
    ssize_t n = ::write(fd_, framed.data(), safe);
    if (n > 0)
        framed.erase(framed.begin(), framed.begin() + n);
    else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != EIO)
        writeClosed_ = true; // an application that has gone may have written its last words before
}

void LineEnd::flush()
{
    if (kind_ == Kind::Pty && fd_ >= 0)
        tcflush(fd_, TCIOFLUSH);
    ptyOpened_ = false;
    eof_ = false;
    writeClosed_ = false;
}

void LineEnd::close()
{
    bool held = fd_ >= 0 && appPresent();
    if (fd_ >= 0)
        ::close(fd_);
    if (appFd_ >= 0)
        ::close(appFd_);
    fd_ = appFd_ = -1;
    // A command that still held the line is told that it is gone, as a tty
    // hangs up.  One that let go is finishing its own work (a summary, a
    // file to write) and is left to it.  The event loop never waits for
    // either; the tick reaps them once they have gone.
    if (held && child_ > 0 && !reapChild()) {
        kill(child_, SIGHUP);
        hungUpChildren.insert(child_);
    }
    child_ = -1;
}

} // namespace sipline
