#include "session.h"

#include <climits>
#include <csignal>
#include <sys/ioctl.h>
#include <cstring>
#include <unistd.h>

namespace callctl {

std::atomic<bool> interrupted{false};

namespace {

std::atomic<bool> resized{true};

void onInterrupt(int)
{
    interrupted = true;
}

void onResize(int)
{
    resized = true;
}

size_t terminalColumns()
{
    static size_t columns = 80;
    if (resized.exchange(false)) {
        winsize ws{};
        columns = ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
    }
    return columns;
}

bool isExecutable(const std::string& path)
{
    return access(path.c_str(), X_OK) == 0;
}

std::string selfDir()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    path[n] = '\0';
    std::string p(path);
    return p.substr(0, p.rfind('/'));
}

} // namespace

void installInterruptHandler()
{
    struct sigaction sa = {};
    sa.sa_handler = onInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr); // a terminal or line that hangs up ends the run in order, files kept
    signal(SIGPIPE, SIG_IGN);
    struct sigaction winch = {};
    winch.sa_handler = onResize;
    sigemptyset(&winch.sa_mask);
    winch.sa_flags = SA_RESTART;
    sigaction(SIGWINCH, &winch, nullptr);
}

bool findDaemonDir(const std::string& override, std::string* dir, std::string* error)
{
    static const char* programs[] = {"voicephone-daemon", "playback-daemon", "record-daemon"};
    auto complete = [](const std::string& d, std::string* missing) {
        for (const char* p : programs)
            if (!isExecutable(d + "/" + p)) {
                *missing = d + "/" + p;
                return false;
            }
        return true;
    };
    std::string missing;
    if (!override.empty()) {
        if (complete(override, &missing)) {
            *dir = override;
            return true;
        }
        *error = "--daemons " + override + ": no program " + missing;
        return false;
    }
    std::string self = selfDir();
    // An installation keeps them in a folder of their own, away from other
    // packages' programs; ../libexec is where earlier installations put them.
    for (const std::string& d : {self, self + "/../libexec/orvex", self + "/../libexec"})
        if (complete(d, &missing)) {
            *dir = d;
            return true;
        }
    *error = "can't find the daemons beside " + self + " or in " + self +
             "/../libexec/orvex (give the folder with --daemons DIR)";
    return false;
}

Session::Session(std::string daemonDir, Transcript& transcript)
    : daemonDir_(std::move(daemonDir)), transcript_(transcript)
{
    last_ = takeSnapshot(segment_.block());
    guardian_.start(segment_.id());
    transcript_.add("callctl", "control block in segment " + std::to_string(segment_.id()) + " (callctl show " +
                                   std::to_string(segment_.id()) + " --watch)");
}

Session::~Session()
{
    stopWatching();
    // DaemonProcess kills and reaps whatever still runs; then the guardian
    // is released, having nothing left to guard.
    std::lock_guard lock(mutex_);
    daemons_.clear();
}

void Session::prepare(int wrapMode)
{
    ControlBlock& c = cb();
    writeWord(c.ownerUid, static_cast<uint32_t>(getuid()));
    writeWord(c.ownerGid, static_cast<uint32_t>(getgid()));
    writeWord(c.wrapMode, static_cast<uint32_t>(wrapMode));
}

bool Session::start(const std::string& program, const std::vector<std::string>& args, const std::vector<int>& fds)
{
    auto process = std::make_unique<sim::DaemonProcess>();
    std::string path = daemonDir_ + "/" + program;
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string line = program;
    for (const auto& a : args)
        line += " " + a;
    action("start " + line);
    // A daemon never outlives its controlling application: SIGTERM runs its
    // normal shutdown the moment callctl is gone, however it went.
    process->endWithParent(SIGTERM);
    if (!process->start(path, argv, fds)) {
        action("can't start " + path);
        return false;
    }
    guardian_.protect(process->pid()); // its own process group
    std::lock_guard lock(mutex_);
    daemons_.push_back({program, std::move(process)});
    return true;
}

bool Session::startVoicePhone(int ttyFd, int soundFd, int chunkSize)
{
    // The daemon never clears phoneUp at its end; a 1 left by the last call
    // would let requests through before its start-up clearing.
    writeWord(cb().phoneUp, 0);
    return start("voicephone-daemon",
                 {std::to_string(ttyFd), std::to_string(soundFd), std::to_string(chunkSize),
                  std::to_string(segment_.id())},
                 {ttyFd, soundFd});
}

bool Session::startPlayback(int soundFd, int chunkSize)
{
    return start("playback-daemon", {std::to_string(soundFd), std::to_string(chunkSize), std::to_string(segment_.id())},
                 {soundFd});
}

bool Session::startRecord(int soundFd, int chunkSize)
{
    return start("record-daemon", {std::to_string(soundFd), std::to_string(chunkSize), std::to_string(segment_.id())},
                 {soundFd});
}

std::optional<int> Session::waitDaemon(std::chrono::milliseconds timeout)
{
    sim::DaemonProcess* p = nullptr;
    std::string program;
    {
        std::lock_guard lock(mutex_);
        if (daemons_.empty())
            return std::nullopt;
        p = daemons_.back().process.get();
        program = daemons_.back().program;
    }
    std::optional<int> status = p->wait(timeout);
    sweep(); // the last lines and changes before we report the end
    if (status)
        action(program + " ended with status " + std::to_string(*status));
    else if (p->termSignal())
        action(program + " killed by signal " + std::to_string(p->termSignal()));
    else
        action(program + " did not end in time; stopped");
    return status;
}

bool Session::daemonRunning() const
{
    std::lock_guard lock(mutex_);
    return !daemons_.empty() && daemons_.back().process->running();
}

RunFacts Session::factsOfLast(std::optional<int> status) const
{
    RunFacts f;
    const ControlBlock& c = const_cast<sim::Segment&>(segment_).block();
    f.exitStatus = status;
    f.errorFlag = readWord(c.errorFlag) != 0;
    f.tapeFull = readWord(c.tapeFull) != 0;
    f.tapeLength = readWord(c.tapeLength);
    f.tapeLimit = readWord(c.tapeLimit);
    std::lock_guard lock(mutex_);
    if (daemons_.empty())
        return f;
    const Running& r = daemons_.back();
    f.program = r.program;
    f.termSignal = r.process->termSignal();
    f.errorLines = r.process->lines().err;
    return f;
}

std::vector<std::string> Session::takeNewComplaints()
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> fresh(complaints_.begin() + static_cast<long>(complaintsShown_), complaints_.end());
    complaintsShown_ = complaints_.size();
    return fresh;
}

bool Session::waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
                        bool interruptible)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if ((interruptible && interrupted) || std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

void Session::sleepFor(std::chrono::milliseconds d)
{
    auto deadline = std::chrono::steady_clock::now() + d;
    while (!interrupted && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(5ms, deadline - std::chrono::steady_clock::now()));
}

void Session::action(const std::string& text)
{
    transcript_.add("callctl", text);
    std::lock_guard lock(mutex_);
    lastEvent_ = text;
}

void Session::tell(const std::string& line)
{
    live_.print(line);
}

void Session::note(const std::string& line)
{
    bool quiet;
    {
        std::lock_guard lock(mutex_);
        quiet = quiet_;
    }
    if (!quiet)
        tell(line);
}

void Session::setQuiet(bool quiet)
{
    std::lock_guard lock(mutex_);
    quiet_ = quiet;
}

void Session::setProgress(const std::string& text)
{
    std::lock_guard lock(mutex_);
    progress_ = text;
}

void Session::setPhase(const std::string& phase)
{
    std::lock_guard lock(mutex_);
    phase_ = phase;
}

void Session::trackTape(bool on)
{
    std::lock_guard lock(mutex_);
    trackTape_ = on;
}

void Session::markMove(uint32_t from, uint32_t to, const std::string& label)
{
    std::lock_guard lock(mutex_);
    marks_.move(from, to, label);
}

std::vector<TapeMark> Session::marks() const
{
    std::lock_guard lock(mutex_);
    return marks_.marks();
}

void Session::showStatus(bool on)
{
    live_.enable(on && isatty(STDERR_FILENO));
}

StatusInfo Session::status() const
{
    const ControlBlock& c = const_cast<sim::Segment&>(segment_).block();
    StatusInfo s;
    s.elapsed = transcript_.elapsed();
    s.position = readWord(c.tapePosition);
    s.length = readWord(c.tapeLength);
    s.taping = flagSet(c.recordFlags, FlagActive);
    s.hold = readWord(c.holdAudio) != 0;
    s.error = readWord(c.errorFlag) != 0;
    s.tapeFull = readWord(c.tapeFull) != 0;
    std::lock_guard lock(mutex_);
    s.phase = phase_;
    s.touchtones = touchtones_;
    s.remoteCode = remoteCode_;
    s.lastEvent = lastEvent_;
    s.progress = progress_;
    return s;
}

void Session::setLastEvent(const std::string& text)
{
    std::lock_guard lock(mutex_);
    lastEvent_ = text;
}

std::vector<std::string> Session::linesOf(const std::string& program, bool errors) const
{
    std::vector<std::string> out;
    std::lock_guard lock(mutex_);
    for (const auto& d : daemons_) {
        if (d.program != program)
            continue;
        sim::Lines l = d.process->lines();
        const auto& v = errors ? l.err : l.out;
        out.insert(out.end(), v.begin(), v.end());
    }
    return out;
}

std::string Session::touchtonesHeard() const
{
    std::lock_guard lock(mutex_);
    return touchtones_;
}

void Session::onLine(const std::string& program, const std::string& line)
{
    // Called with mutex_ held.
    const char* tag = "Touchtone '";
    size_t at = line.find(tag);
    if (program == "voicephone-daemon" && at != std::string::npos && at + strlen(tag) < line.size()) {
        char key = line[at + strlen(tag)];
        touchtones_ += key;
        if (trackTape_)
            marks_.touchtone(key, readWord(cb().ingoingPosition));
    }
    lastEvent_ = line;
}

void Session::sweep()
{
    std::vector<std::pair<std::string, std::string>> printed;
    std::lock_guard lock(mutex_);
    for (auto& d : daemons_) {
        sim::Lines l = d.process->lines();
        for (; d.outSeen < l.out.size(); ++d.outSeen)
            printed.emplace_back(d.program, l.out[d.outSeen]);
        for (; d.errSeen < l.err.size(); ++d.errSeen) {
            printed.emplace_back(d.program + " (stderr)", l.err[d.errSeen]);
            for (const auto& c : complaintsAmong({l.err[d.errSeen]}))
                complaints_.push_back(c);
        }
    }
    for (const auto& [program, line] : printed) {
        transcript_.add(program, line);
        onLine(program, line);
    }

    BlockSnapshot now = takeSnapshot(cb());
    for (const auto& change : describeChanges(last_, now, false))
        transcript_.add("control block", change);
    if (trackTape_)
        marks_.observe(last_, now);
    if (!snapshotWord(last_, "codeComplete") && snapshotWord(now, "codeComplete"))
        remoteCode_ = now.remoteCode;
    last_ = std::move(now);
}

void Session::noteRemoteCode(const std::string& code)
{
    std::lock_guard lock(mutex_);
    remoteCode_ = code;
}

void Session::drawStatus()
{
    if (!live_.enabled())
        return;
    auto now = std::chrono::steady_clock::now();
    bool resizedNow = resized.load();
    if (now - lastDraw_ < 100ms && !resizedNow)
        return;
    lastDraw_ = now;
    live_.draw(formatStatus(status(), statusWidth(static_cast<int>(terminalColumns()))));
}

void Session::startWatching()
{
    if (watching_.exchange(true))
        return;
    std::string id = std::to_string(segment_.id());
    note("segment " + id + " (callctl show " + id + " --watch)");
    watcher_ = std::thread([this] {
        while (watching_) {
            sweep();
            drawStatus();
            std::this_thread::sleep_for(2ms);
        }
    });
}

void Session::stopWatching()
{
    if (watching_.exchange(false) && watcher_.joinable())
        watcher_.join();
    sweep();
    showStatus(false);
}

} // namespace callctl
