#include "load_run.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench_kit.h"
#include "dle_doubling.h"
#include "proc_stats.h"
#include "scratch_dir.h"
#include "whole_file.h"

namespace bench {

namespace {

constexpr int64_t msNs = 1000000;
constexpr int64_t lateNs = 20 * msNs;

bool isDaemon(Bridge b) { return b == Bridge::DaemonTapeOff || b == Bridge::DaemonTapeOn; }

// One direction of one call.
struct Stream {
    Stream(size_t chunkSize, uint32_t call, size_t maxChunks) : reader(chunkSize, call), sentAt(maxChunks, 0), got(maxChunks, 0) {}
    ChunkReader reader;
    std::vector<int64_t> sentAt; // when chunk seq had wholly entered, 0 = not sent
    std::vector<uint8_t> got;
    std::vector<uint8_t> backlog; // bytes the stand-in could not yet hand over
    bool undo = false;            // the receiving end undoes DLE doubling
    bool pendingDle = false;
    uint64_t codes = 0;
    uint64_t stalls = 0;          // chunks of the measured window that did not enter at once
};

struct Call {
    uint32_t index = 0;
    DescriptorPair line, sound;
    std::unique_ptr<Segment> block;
    pid_t top = -1;
    std::vector<pid_t> pids; // every process of the bridge
    bool ended = false;
    std::unique_ptr<Stream> toSound, toLine;
};

struct Window {
    int64_t latencyFrom = 0, latencyTo = 0; // chunks sent in here count for latency, lateness and loss
};

class LoadRun {
public:
    LoadRun(const LoadOptions& o, Bridge b, int n) : opt_(o), bridge_(b), n_(n) {}
    LoadResult run();

private:
    bool startCalls();
    bool startOne(Call& c);
    bool collectPids(Call& c);
    void stream(int64_t until, const std::function<bool()>& done);
    void sendDue(int64_t now);
    void sendChunk(Stream& s, int fd, uint32_t seq, bool doubled, int64_t now);
    void flushBacklog(Stream& s, int fd);
    void countStall(Stream& s, int64_t now);
    void receive(Call& c, bool fromLine);
    SchedStat schedOfCalls(uint64_t& missing);
    void stopAll();
    bool allEnded();
    bool windowDelivered() const;
    void checkTapes(LoadResult& r);

    const LoadOptions& opt_;
    Bridge bridge_;
    int n_;
    kit::ScratchDir dir_;
    std::vector<Call> calls_;
    int epoll_ = -1, timer_ = -1;
    int64_t start_ = 0, period_ = 0;
    int slots_ = 1;
    int nextSlot_ = 0;
    int64_t nextSlotAt_ = 0;
    uint32_t seqOfSlot_ = 0;
    size_t maxChunks_ = 0;
    Window win_;
    LoadResult res_;
    std::vector<uint8_t> chunk_, doubled_;
};

bool LoadRun::startOne(Call& c)
{
    if (!makeLine(c.line) || !makeSoundSocket(c.sound))
        return false;
    std::string chunk = std::to_string(opt_.chunk);
    std::vector<int> fds{c.line.daemon, c.sound.daemon};
    std::string log = dir_ / ("log" + std::to_string(c.index));
    switch (bridge_) {
    case Bridge::Floor:
        c.top = spawnProgram(programPath("floor-bridge"), {"3", "4", chunk}, fds, log);
        break;
    case Bridge::Socat:
        c.top = spawnProgram("/usr/bin/socat", {"-b8192", "FD:3", "FD:4"}, fds, log);
        break;
    default: {
        c.block = std::make_unique<Segment>();
        ControlBlock& cb = c.block->block();
        std::string in = dir_ / ("in" + std::to_string(c.index)), out = dir_ / ("out" + std::to_string(c.index));
        if (!kit::writeFile(in, {}) || !kit::writeFile(out, {}))
            return false;
        Segment::setPath(cb.ingoingPath, in);
        Segment::setPath(cb.outgoingPath, out);
        writeWord(cb.wrapMode, 1);
        writeWord(cb.tapeLimit, 0xFFFFFFFFu);
        writeWord(cb.responseLimit, 0xFFFFFFFFu);
        writeWord(cb.ownerUid, getuid());
        writeWord(cb.ownerGid, getgid());
        c.top = spawnProgram(programPath("voicephone-daemon"), {"3", "4", chunk, std::to_string(c.block->id())}, fds,
                             log);
    }
    }
    close(c.line.daemon);
    close(c.sound.daemon);
    c.line.daemon = c.sound.daemon = -1;
    return c.top > 0;
}

bool LoadRun::collectPids(Call& c)
{
    size_t workers = bridge_ == Bridge::Socat ? 0 : 2;
    bool found = waitUntil([&] { return childrenOf(c.top).size() >= workers; }, std::chrono::milliseconds(5000), 500);
    c.pids = {c.top};
    for (pid_t p : childrenOf(c.top))
        c.pids.push_back(p);
    return found;
}

bool LoadRun::startCalls()
{
    calls_.resize(static_cast<size_t>(n_));
    for (int i = 0; i < n_; ++i) {
        calls_[i].index = static_cast<uint32_t>(i);
        if (!startOne(calls_[i])) {
            res_.problem = "could not start call " + std::to_string(i);
            return false;
        }
    }
    if (isDaemon(bridge_)) {
        for (auto& c : calls_) {
            if (!waitUntil([&] { return acquireWord((*c.block)->phoneUp) == 1; }, std::chrono::milliseconds(10000))) {
                res_.problem = "a daemon never set phoneUp";
                return false;
            }
            c.block->release();
        }
        if (bridge_ == Bridge::DaemonTapeOn) {
            for (auto& c : calls_)
                (*c.block)->recordFlags.fetch_or(FlagStartRequest);
            for (auto& c : calls_)
                if (!waitUntil([&] { return flagSet((*c.block)->recordFlags, FlagActive); },
                               std::chrono::milliseconds(5000))) {
                    res_.problem = "taping never became active";
                    return false;
                }
        }
    }
    for (auto& c : calls_)
        if (!collectPids(c)) {
            res_.problem = "the workers of a bridge did not appear";
            return false;
        }
    return true;
}

void LoadRun::sendChunk(Stream& s, int fd, uint32_t seq, bool doubled, int64_t now)
{
    if (seq >= s.sentAt.size())
        return;
    const uint8_t* bytes = chunk_.data();
    size_t n = chunk_.size();
    if (doubled) {
        n = doubleDleBytes(chunk_.data(), chunk_.size(), doubled_.data());
        bytes = doubled_.data();
    }
    if (!s.backlog.empty()) {
        s.backlog.insert(s.backlog.end(), bytes, bytes + n);
        countStall(s, now);
        flushBacklog(s, fd);
        s.sentAt[seq] = now; // the stall is the bridge's: it counts as delay
        return;
    }
    ssize_t w = write(fd, bytes, n);
    if (w < 0)
        w = 0;
    if (static_cast<size_t>(w) < n) {
        countStall(s, now);
        s.backlog.assign(bytes + w, bytes + n);
        s.sentAt[seq] = now;
        return;
    }
    s.sentAt[seq] = nowNs();
}

void LoadRun::countStall(Stream& s, int64_t now)
{
    if (now >= win_.latencyFrom && now <= win_.latencyTo)
        ++s.stalls;
}

void LoadRun::flushBacklog(Stream& s, int fd)
{
    if (s.backlog.empty())
        return;
    ssize_t w = write(fd, s.backlog.data(), s.backlog.size());
    if (w > 0)
        s.backlog.erase(s.backlog.begin(), s.backlog.begin() + w);
}

void LoadRun::sendDue(int64_t now)
{
    while (nextSlotAt_ <= now) {
        for (int i = nextSlot_; i < n_; i += slots_) {
            Call& c = calls_[static_cast<size_t>(i)];
            if (c.ended)
                continue;
            makeMarkedChunk(chunk_.data(), chunk_.size(), seqOfSlot_, c.index);
            sendChunk(*c.toSound, c.line.far, seqOfSlot_, true, nowNs());
            sendChunk(*c.toLine, c.sound.far, seqOfSlot_, false, nowNs());
        }
        if (++nextSlot_ == slots_) {
            nextSlot_ = 0;
            ++seqOfSlot_;
        }
        nextSlotAt_ = start_ + static_cast<int64_t>(seqOfSlot_) * period_ + nextSlot_ * period_ / slots_;
    }
    itimerspec t{};
    t.it_value.tv_sec = nextSlotAt_ / 1000000000;
    t.it_value.tv_nsec = nextSlotAt_ % 1000000000;
    timerfd_settime(timer_, TFD_TIMER_ABSTIME, &t, nullptr);
}

void LoadRun::receive(Call& c, bool fromLine)
{
    int fd = fromLine ? c.line.far : c.sound.far;
    Stream& s = fromLine ? *c.toLine : *c.toSound;
    auto& sample = fromLine ? res_.delayToLine : res_.delayToSound;
    uint8_t buf[16384];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            if (n == 0 || (errno != EAGAIN && errno != EINTR))
                epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr); // hung up: the bridge has gone
            return;
        }
        int64_t t = nowNs();
        size_t len = static_cast<size_t>(n);
        if (s.undo)
            len = undoubleDle(buf, len, s.pendingDle, s.codes);
        s.reader.feed(buf, len, [&](uint32_t seq) {
            if (seq >= s.sentAt.size() || s.sentAt[seq] == 0)
                return;
            s.got[seq] = 1;
            int64_t sent = s.sentAt[seq];
            if (sent < win_.latencyFrom || sent > win_.latencyTo)
                return;
            int64_t delay = t - sent;
            sample.push_back(static_cast<double>(delay) / msNs);
            if (delay > lateNs)
                ++res_.late;
        });
    }
}

void LoadRun::stream(int64_t until, const std::function<bool()>& done)
{
    epoll_event events[256];
    for (;;) {
        int64_t now = nowNs();
        if (now >= until || (done && done()))
            return;
        int k = epoll_wait(epoll_, events, 256, 5);
        for (int i = 0; i < k; ++i) {
            uint64_t tag = events[i].data.u64;
            if (tag == ~0ull) {
                uint64_t expirations;
                (void)!read(timer_, &expirations, sizeof expirations);
                sendDue(nowNs());
                for (auto& c : calls_) {
                    flushBacklog(*c.toSound, c.line.far);
                    flushBacklog(*c.toLine, c.sound.far);
                }
                continue;
            }
            receive(calls_[tag >> 1], (tag & 1) != 0);
        }
    }
}

SchedStat LoadRun::schedOfCalls(uint64_t& missing)
{
    SchedStat total;
    for (auto& c : calls_)
        for (pid_t p : c.pids) {
            auto s = schedStat(p);
            if (!s) {
                ++missing;
                continue;
            }
            total.runNs += s->runNs;
            total.waitNs += s->waitNs;
            total.timeslices += s->timeslices;
        }
    return total;
}

void LoadRun::stopAll()
{
    for (auto& c : calls_) {
        if (isDaemon(bridge_))
            writeWord((*c.block)->stopRequest, 1);
        else
            kill(c.top, SIGTERM);
    }
}

bool LoadRun::allEnded()
{
    bool all = true;
    for (auto& c : calls_) {
        if (!c.ended) {
            pid_t r = waitpid(c.top, nullptr, WNOHANG);
            c.ended = r == c.top || (r < 0 && errno == ECHILD);
        }
        all = all && c.ended;
    }
    return all;
}

bool LoadRun::windowDelivered() const
{
    for (const auto& c : calls_)
        for (const Stream* s : {c.toSound.get(), c.toLine.get()})
            for (size_t q = 0; q < s->sentAt.size(); ++q)
                if (s->sentAt[q] >= win_.latencyFrom && s->sentAt[q] <= win_.latencyTo && !s->got[q])
                    return false;
    return true;
}

void LoadRun::checkTapes(LoadResult& r)
{
    for (auto& c : calls_) {
        for (const char* side : {"in", "out"}) {
            auto bytes = kit::readFile(dir_ / (side + std::to_string(c.index)));
            TapeCheck t = checkTape(bytes.data(), bytes.size(), static_cast<size_t>(opt_.chunk), c.index);
            r.tapeBytes += t.bytes;
            r.tapeChunks += t.chunks;
            r.tapeBad += t.bad + (t.chunks > 0 && t.firstSeq != 0 ? 1 : 0);
            if (t.chunks == 0)
                ++r.tapeBad; // a side that taped nothing
        }
    }
}

LoadResult LoadRun::run()
{
    // A bridge that goes away gives EPIPE to the driver, which counts the loss.
    signal(SIGPIPE, SIG_IGN);
    res_.bridge = bridge_;
    res_.calls = n_;
    period_ = static_cast<int64_t>(opt_.chunk) * 1000000000 / bytesPerSecond;
    slots_ = std::min(n_, 20);
    chunk_.resize(static_cast<size_t>(opt_.chunk));
    doubled_.resize(2 * chunk_.size());
    // Every chunk of the run, the shutdown's included, has its own slot.
    maxChunks_ = static_cast<size_t>((opt_.warmup + opt_.seconds + 12) * 1e9 / static_cast<double>(period_));

    auto fail = [&](const std::string& why) {
        res_.ok = false;
        if (res_.problem.empty())
            res_.problem = why;
        for (auto& c : calls_)
            if (c.top > 0 && !c.ended) {
                kill(c.top, SIGKILL);
                for (pid_t p : c.pids)
                    kill(p, SIGKILL);
                waitpid(c.top, nullptr, 0);
            }
        return res_;
    };
    if (dir_.path().empty())
        return fail("no scratch folder");
    if (!startCalls())
        return fail("start");

    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = ~0ull;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, timer_, &ev);
    for (auto& c : calls_) {
        c.toSound = std::make_unique<Stream>(chunk_.size(), c.index, maxChunks_);
        c.toLine = std::make_unique<Stream>(chunk_.size(), c.index, maxChunks_);
        // socat carries the line's framing through to the sound device and
        // none back; the bridges under test undo and redo it.
        c.toSound->undo = bridge_ == Bridge::Socat;
        c.toLine->undo = bridge_ != Bridge::Socat;
        ev.data.u64 = static_cast<uint64_t>(c.index) << 1;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, c.sound.far, &ev);
        ev.data.u64 = (static_cast<uint64_t>(c.index) << 1) | 1;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, c.line.far, &ev);
    }

    start_ = nowNs() + 5 * msNs;
    nextSlotAt_ = start_;
    sendDue(nowNs());
    win_.latencyFrom = win_.latencyTo = INT64_MAX;
    stream(start_ + static_cast<int64_t>(opt_.warmup * 1e9), nullptr);

    uint64_t missing = 0;
    SchedStat cpu0 = schedOfCalls(missing);
    uint64_t own0 = ownRunTimeNs();
    int64_t t0 = nowNs();
    win_.latencyFrom = t0;
    win_.latencyTo = t0 + static_cast<int64_t>(opt_.seconds * 1e9) - 100 * msNs;
    stream(t0 + static_cast<int64_t>(opt_.seconds * 1e9), nullptr);
    int64_t t1 = nowNs();
    uint64_t own1 = ownRunTimeNs();
    SchedStat cpu1 = schedOfCalls(missing);
    res_.earlyEnds = missing;

    // Let the last chunks of the window through (a busy machine may take
    // ten times as long as an idle one's 300 ms), then end the bridges while
    // the sound devices keep delivering, as real ones do, so every worker
    // wakes up.
    stream(nowNs() + 3000 * msNs, [&] { return windowDelivered(); });
    stopAll();
    bool ended = false;
    stream(nowNs() + 5000 * msNs, [&] { return ended = allEnded(); });
    if (!ended)
        return fail("a bridge did not end within 5 s of the stop");

    double window = static_cast<double>(t1 - t0);
    res_.cpuPerCallPct = 100.0 * static_cast<double>(cpu1.runNs - cpu0.runNs) / window / n_;
    uint64_t slices = cpu1.timeslices - cpu0.timeslices;
    res_.wakeupsPerCall = static_cast<double>(slices) / (window / 1e9) / n_;
    if (slices > 0)
        res_.queueWaitUs = static_cast<double>(cpu1.waitNs - cpu0.waitNs) / static_cast<double>(slices) / 1000;
    res_.driverCpuPct = 100.0 * static_cast<double>(own1 - own0) / window;
    for (auto& c : calls_) {
        for (Stream* s : {c.toSound.get(), c.toLine.get()}) {
            for (size_t q = 0; q < s->sentAt.size(); ++q)
                if (s->sentAt[q] >= win_.latencyFrom && s->sentAt[q] <= win_.latencyTo) {
                    ++res_.counted;
                    if (!s->got[q])
                        ++res_.lost;
                }
            res_.badBytes += s->reader.badBytes() + s->reader.foreign() * chunk_.size();
            res_.stalls += s->stalls;
            res_.strayCodes += s->codes;
        }
        close(c.line.far);
        close(c.sound.far);
    }
    if (bridge_ == Bridge::DaemonTapeOn)
        checkTapes(res_);
    close(epoll_);
    close(timer_);
    return res_;
}

} // namespace

const char* bridgeName(Bridge b)
{
    switch (b) {
    case Bridge::Floor: return "floor bridge";
    case Bridge::Socat: return "socat";
    case Bridge::DaemonTapeOff: return "voicephone, taping off";
    case Bridge::DaemonTapeOn: return "voicephone, taping on";
    }
    return "";
}

LoadResult runLoad(const LoadOptions& options, Bridge bridge, int calls)
{
    LoadRun run(options, bridge, calls);
    return run.run();
}

void pool(LoadResult& into, const LoadResult& r, int rounds)
{
    if (!r.ok) {
        into.ok = false;
        into.problem = r.problem;
        return;
    }
    into.cpuPerCallPct += r.cpuPerCallPct / rounds;
    into.driverCpuPct += r.driverCpuPct / rounds;
    into.wakeupsPerCall += r.wakeupsPerCall / rounds;
    into.queueWaitUs += r.queueWaitUs / rounds;
    into.delayToSound.insert(into.delayToSound.end(), r.delayToSound.begin(), r.delayToSound.end());
    into.delayToLine.insert(into.delayToLine.end(), r.delayToLine.begin(), r.delayToLine.end());
    into.late += r.late;
    into.lost += r.lost;
    into.counted += r.counted;
    into.badBytes += r.badBytes;
    into.stalls += r.stalls;
    into.strayCodes += r.strayCodes;
    into.tapeBytes += r.tapeBytes;
    into.tapeChunks += r.tapeChunks;
    into.tapeBad += r.tapeBad;
    into.earlyEnds += r.earlyEnds;
}

} // namespace bench
