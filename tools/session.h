// callctl playing the controlling application: it owns the control block,
// starts the daemons with their descriptors, and watches them.  A watcher
// thread copies every line they print and every change of the control block into
// the transcript, turns what it sees into marks on the tape (taping on and
// off, touchtones heard, DTMF sent) and keeps the live status line.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "call_picture.h"
#include "daemon_process.h"
#include "guardian.h"
#include "control_block_view.h"
#include "run_verdict.h"
#include "segment.h"
#include "status_line.h"
#include "tape_marks.h"
#include "transcript.h"

namespace callctl {

using namespace std::chrono_literals;

// How long callctl waits for a daemon to do what it was asked (come up,
// stop taping, end): milliseconds on an idle machine, seconds on a loaded
// one; only a stuck daemon takes this long.
inline constexpr std::chrono::milliseconds daemonPatience = 30s;

// Set by SIGINT/SIGTERM (installInterruptHandler); every wait gives up on it.
extern std::atomic<bool> interrupted;
void installInterruptHandler();

// The folder holding the three daemons: `override` when given, else beside
// the running program (a build's bin/), else ../libexec from it (an install).
bool findDaemonDir(const std::string& override, std::string* dir, std::string* error);

class Session {
public:
    Session(std::string daemonDir, Transcript& transcript);
    ~Session(); // stops watching; daemons still running are killed and reaped

    ControlBlock& cb() { return segment_.block(); }
    int segmentId() const { return segment_.id(); }
    Transcript& transcript() { return transcript_; }

    // Fills the fields every daemon reads: owner = this user, wrap mode.
    void prepare(int wrapMode);

    bool startVoicePhone(int ttyFd, int soundFd, int chunkSize);
    bool startPlayback(int soundFd, int chunkSize);
    bool startRecord(int soundFd, int chunkSize);

    // Waits for the daemon started last; its exit status, or nullopt when it
    // did not end in time (it is then stopped the hard way).
    std::optional<int> waitDaemon(std::chrono::milliseconds timeout);
    bool daemonRunning() const;
    // What callctl saw of the daemon started last, for judging its run:
    // `status` is what waitDaemon returned.
    RunFacts factsOfLast(std::optional<int> status) const;
    // Lines the daemons printed on standard error and not yet shown by
    // takeNewComplaints(): they are shown as they come, whatever the
    // verbosity.
    std::vector<std::string> takeNewComplaints();

    // Polls `condition` every 2 ms; false on time-out or, unless the wait
    // is part of ending cleanly after Ctrl-C, on interruption.
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
                   bool interruptible = true);
    void sleepFor(std::chrono::milliseconds d); // stops early on interruption

    void action(const std::string& text); // callctl's own line in the transcript
    // A line for the person at once, on standard error, whatever the
    // verbosity; the status line is cleared first and drawn again after.
    void tell(const std::string& line);
    // An informational line (the segment id, the keys): told unless quiet.
    void note(const std::string& line);
    void setQuiet(bool quiet);
    // Shown in the status line in place of the tape's position.
    void setProgress(const std::string& text);
    void setPhase(const std::string& phase);
    // Taping, touchtone and DTMF marks are only meaningful for a call's tape.
    void trackTape(bool on);
    void markMove(uint32_t from, uint32_t to, const std::string& label);
    std::vector<TapeMark> marks() const;

    // The live status line on standard error, when it is a terminal.
    void showStatus(bool on);
    StatusInfo status() const;
    void setLastEvent(const std::string& text);

    // What the daemons printed, by program.
    std::vector<std::string> linesOf(const std::string& program, bool errors = false) const;
    std::string touchtonesHeard() const;
    // A remote code read back by the command itself: the watcher may not
    // see codeComplete at 1 before the command clears it again.
    void noteRemoteCode(const std::string& code);

    void startWatching();
    void stopWatching(); // one last sweep, so nothing printed is missed

private:
    struct Running {
        std::string program;
        std::unique_ptr<sim::DaemonProcess> process;
        size_t outSeen = 0, errSeen = 0;
    };
    bool start(const std::string& program, const std::vector<std::string>& args, const std::vector<int>& fds);
    void sweep();
    void onLine(const std::string& program, const std::string& line);
    void drawStatus();

    std::string daemonDir_;
    Transcript& transcript_;
    sim::Segment segment_;
    Guardian guardian_; // released after the daemons below are reaped
    mutable std::mutex mutex_;
    std::vector<Running> daemons_;
    BlockSnapshot last_;
    TapeMarks marks_;
    std::vector<std::string> complaints_;
    size_t complaintsShown_ = 0;
    bool trackTape_ = false;
    std::string touchtones_;
    std::string remoteCode_;
    std::string lastEvent_;
    std::string phase_;
    bool quiet_ = false;
    std::string progress_;
    LiveLine live_{stderr};
    std::chrono::steady_clock::time_point lastDraw_;
    std::atomic<bool> watching_{false};
    std::thread watcher_;
};

} // namespace callctl
