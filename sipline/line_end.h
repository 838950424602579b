// The application's side of one line, as this process holds it: a stream
// socket handed to a command, or a pseudo-terminal in raw mode found at a
// path.  The only place that touches the line's descriptors.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sipline {

class LineEnd {
public:
    enum class Kind { Socket, Pty };

    LineEnd() = default;
    ~LineEnd();
    LineEnd(const LineEnd&) = delete;
    LineEnd& operator=(const LineEnd&) = delete;

    // A pseudo-terminal that lives as long as this object; `link` (if not
    // empty) is made a symbolic link to it.
    bool openPty(const std::string& link, std::string& error);
    // A fresh socket pair for one call; the application's end goes to spawn().
    bool openSocket(std::string& error);
    // Runs /bin/sh -c cmd with the line in its environment.
    bool spawn(const std::string& cmd, const std::string& caller, const std::string& called, std::string& error);

    Kind kind() const { return kind_; }
    // The application holds the line (a pty's slave is open; a socket's
    // command runs or its end is still open).
    bool appPresent();
    // The application has let go: closed the line or its command ended.
    bool appGone();

    // Reads what the application wrote, at most `limit` bytes.
    void read(size_t limit, std::vector<uint8_t>& into);
    // Writes a prefix of `framed` the line takes now without splitting a
    // DLE pair; removes it from `framed`.
    void write(std::vector<uint8_t>& framed);
    // Forgets what the previous call left in a pty.
    void flush();
    // Lets go of the line; a command that still holds it gets SIGHUP.
    void close();
    // The command spawn() started, or -1 once the line is let go.
    pid_t command() const { return child_; }

    // From a SIGCHLD handler: some child has changed state.  Children are
    // only asked for (waitpid) after one did, not on every tick.
    static void childSignalled();
    // Reaps every child that has ended since the last child signal and
    // keeps its wait status until takeEnded() asks for it.  The one place
    // that waits for children, so no status is lost to another.
    static void reapChildren();
    // Reaps whatever has ended, signal or not; false once no child is left.
    static bool childrenLeft();
    struct Ended {
        int status;  // as waitpid gives it
        bool hungUp; // it still held the line when we let go, and had SIGHUP
    };
    // How `pid` ended, once; nothing while it runs.  A line end holding
    // its command still needs the record: ask only after close().
    static std::optional<Ended> takeEnded(pid_t pid);

private:
    bool reapChild();

    Kind kind_ = Kind::Socket;
    int fd_ = -1;     // our end (the pty master, or our socket)
    int appFd_ = -1;  // the application's socket until spawn() hands it over
    pid_t child_ = -1;
    bool childEnded_ = false;
    int sendBuffer_ = 0; // our socket's send buffer, asked once
    bool eof_ = false;         // nothing more will be read
    bool writeClosed_ = false; // nothing more can be written; what is left to read still is
    bool ptyOpened_ = false; // the slave has been opened since the last flush()
    std::string ptyPath_;
    std::string link_;
};

} // namespace sipline
