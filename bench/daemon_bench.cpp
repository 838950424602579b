// One call at a time: how fast each daemon moves data when nothing paces it,
// how quickly it answers a request, and how much memory each process takes.
// The report is Markdown on standard output.
//
//   daemon-bench [--samples N]
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench_kit.h"
#include "dle_doubling.h"
#include "dtmf.h"
#include "marks.h"
#include "proc_stats.h"
#include "scratch_dir.h"
#include "whole_file.h"

using namespace bench;
using namespace std::chrono_literals;

namespace {

constexpr int chunkSize = 160;
constexpr int64_t msNs = 1000000;
constexpr int64_t periodNs = chunkSize * 1000000000LL / bytesPerSecond;

double ms(int64_t ns) { return static_cast<double>(ns) / msNs; }

struct MemoryRow {
    std::string process;
    MemoryUse use;
};
std::vector<MemoryRow> memoryRows;

void noteMemory(const std::string& process, pid_t pid)
{
    if (auto m = memoryUse(pid))
        memoryRows.push_back({process, *m});
}

std::vector<uint8_t> markedStream(size_t bytes, uint32_t call)
{
    std::vector<uint8_t> s(bytes);
    for (size_t at = 0; at + chunkSize <= bytes; at += chunkSize)
        makeMarkedChunk(s.data() + at, chunkSize, static_cast<uint32_t>(at / chunkSize), call);
    return s;
}

// How the sound device's stand-in takes what a daemon plays.
enum class Speaker {
    None,   // the device is a source only
    Drain,  // everything, as soon as it is there
    Period, // everything queued, once every 20 ms: a device with a one-chunk period
    Exact,  // one chunk every 20 ms: 8000 bytes a second
};

// Keeps a call's stand-ins going in a thread of their own: a chunk each way
// every 20 ms when asked to, the line drained and watched for the start of an
// armed DTMF tone, and the sound device's output taken as `speaker` says.
class Pacer {
public:
    Pacer(int lineFar, int soundFar, bool feedLine, bool feedSound, Speaker speaker = Speaker::Drain)
        : lineFar_(lineFar), soundFar_(soundFar), feedLine_(feedLine), feedSound_(feedSound), speaker_(speaker),
          thread_([this] { loop(); })
    {
    }
    ~Pacer()
    {
        stop_ = true;
        thread_.join();
    }
    void armTone(const uint8_t* tone)
    {
        memcpy(tonePrefix_, tone, sizeof tonePrefix_);
        toneSeenAt_ = 0;
        toneGeneration_.fetch_add(1, std::memory_order_release);
    }
    int64_t toneSeenAt() const { return toneSeenAt_.load(std::memory_order_acquire); }

private:
    void loop();
    void scanLine(const uint8_t* data, size_t n, int64_t t);

    int lineFar_, soundFar_;
    bool feedLine_, feedSound_;
    Speaker speaker_;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> toneGeneration_{0}; // bumped by armTone
    unsigned watchedGeneration_ = 0;            // the tone the pacer thread watches for
    std::atomic<int64_t> toneSeenAt_{0};
    uint8_t tonePrefix_[8]{};
    PatternWatch watch_;
    bool pendingDle_ = false;
    uint64_t codes_ = 0;
    std::thread thread_;
};

void Pacer::scanLine(const uint8_t* data, size_t n, int64_t t)
{
    unsigned generation = toneGeneration_.load(std::memory_order_acquire);
    if (generation != watchedGeneration_) {
        watchedGeneration_ = generation;
        watch_.arm(tonePrefix_, sizeof tonePrefix_);
    }
    if (watch_.feed(data, n))
        toneSeenAt_.store(t, std::memory_order_release);
}

void Pacer::loop()
{
    int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    itimerspec every{{0, periodNs}, {0, periodNs}};
    timerfd_settime(timer, 0, &every, nullptr);
    pollfd fds[3] = {{timer, POLLIN, 0}, {lineFar_, POLLIN, 0}, {speaker_ == Speaker::Drain ? soundFar_ : -1, POLLIN, 0}};
    uint8_t chunk[chunkSize], doubled[2 * chunkSize], buf[16384];
    uint32_t seq = 0;
    while (!stop_) {
        if (poll(fds, 3, 5) <= 0)
            continue;
        int64_t t = nowNs();
        if (fds[0].revents & POLLIN) {
            uint64_t expirations;
            (void)!read(timer, &expirations, sizeof expirations);
            makeMarkedChunk(chunk, chunkSize, seq++, 0);
            if (feedLine_)
                (void)!write(lineFar_, doubled, doubleDleBytes(chunk, chunkSize, doubled));
            if (feedSound_)
                (void)!write(soundFar_, chunk, chunkSize);
            if (speaker_ == Speaker::Period)
                while (read(soundFar_, buf, sizeof buf) > 0) {
                }
            if (speaker_ == Speaker::Exact)
                (void)!read(soundFar_, buf, chunkSize);
        }
        if (fds[1].revents) {
            ssize_t n = read(lineFar_, buf, sizeof buf);
            if (n > 0)
                scanLine(buf, undoubleDle(buf, static_cast<size_t>(n), pendingDle_, codes_), t);
            else if (n == 0 || errno == EIO)
                fds[1].fd = -1; // hung up
        }
        if (fds[2].revents) {
            ssize_t n = read(soundFar_, buf, sizeof buf);
            if (n == 0 || (n < 0 && errno != EAGAIN))
                fds[2].fd = -1;
        }
    }
    close(timer);
}

// A voicephone-daemon call with fresh stand-ins and tape files.
class VoiceCall {
public:
    VoiceCall(kit::ScratchDir& dir, int index) : dir_(dir), index_(index) {}
    ~VoiceCall() { kill(); }

    bool start(size_t tapeBytes)
    {
        std::string n = std::to_string(index_);
        std::string in = dir_ / ("vin" + n), out = dir_ / ("vout" + n);
        if (!makeLine(line_) || !makeSoundSocket(sound_) ||
            !kit::writeFile(in, std::vector<uint8_t>(tapeBytes, 0xFF)) ||
            !kit::writeFile(out, std::vector<uint8_t>(tapeBytes, 0xFF)))
            return false;
        ControlBlock& cb = block_.block();
        Segment::setPath(cb.ingoingPath, in);
        Segment::setPath(cb.outgoingPath, out);
        writeWord(cb.wrapMode, 1);
        writeWord(cb.tapeLimit, 0xFFFFFFFFu);
        writeWord(cb.ownerUid, getuid());
        writeWord(cb.ownerGid, getgid());
        log_ = dir_ / ("vlog" + n);
        top_ = spawnProgram(programPath("voicephone-daemon"),
                            {"3", "4", std::to_string(chunkSize), std::to_string(block_.id())},
                            {line_.daemon, sound_.daemon}, log_);
        close(line_.daemon);
        close(sound_.daemon);
        line_.daemon = sound_.daemon = -1;
        if (top_ <= 0 || !waitUntil([&] { return acquireWord(cb.phoneUp) == 1; }, 5000ms))
            return false;
        block_.release();
        // The pumps' ids, from the supervisor's line.
        return waitUntil(
            [&] {
                std::string text = readFile(log_);
                size_t at = text.find("PID (ttyI -> audio) = ");
                return at != std::string::npos &&
                       sscanf(text.c_str() + at, "PID (ttyI -> audio) = %d, PID (audio -> ttyI) = %d", &t2a_,
                              &a2t_) == 2;
            },
            2000ms);
    }

    bool startTaping()
    {
        block_->recordFlags.fetch_or(FlagStartRequest);
        return waitUntil([&] { return flagSet(block_->recordFlags, FlagActive); }, 2000ms, 50);
    }

    // Ends the call the way the application does.  Meanwhile the sound
    // device keeps delivering and both far ends keep taking data, as real
    // ones would, so a pump waiting in a read or a write wakes up.
    bool stop()
    {
        writeWord(block_->stopRequest, 1);
        uint8_t chunk[chunkSize], buf[65536];
        makeMarkedChunk(chunk, chunkSize, 0, 0);
        return waitUntil(
            [&] {
                (void)!write(sound_.far, chunk, chunkSize);
                while (read(line_.far, buf, sizeof buf) > 0) {
                }
                while (read(sound_.far, buf, sizeof buf) > 0) {
                }
                return ended();
            },
            5000ms, 5000);
    }

    bool ended()
    {
        if (!ended_) {
            pid_t r = waitpid(top_, nullptr, WNOHANG);
            ended_ = r == top_ || (r < 0 && errno == ECHILD);
        }
        return ended_;
    }

    void kill()
    {
        if (top_ > 0 && !ended()) {
            for (pid_t p : {t2a_, a2t_, top_})
                if (p > 0)
                    ::kill(p, SIGKILL);
            waitpid(top_, nullptr, 0);
            ended_ = true;
        }
        closePair(line_);
        closePair(sound_);
    }

    ControlBlock& block() { return block_.block(); }
    int lineFar() const { return line_.far; }
    int soundFar() const { return sound_.far; }
    pid_t supervisor() const { return top_; }
    pid_t t2a() const { return t2a_; }
    pid_t a2t() const { return a2t_; }

private:
    kit::ScratchDir& dir_;
    int index_;
    Segment block_;
    DescriptorPair line_, sound_;
    std::string log_;
    pid_t top_ = -1;
    pid_t t2a_ = -1, a2t_ = -1;
    bool ended_ = false;
};

// ---------------------------------------------------------------- throughput

struct Throughput {
    std::string what;
    double realTime = 0;  // multiple of 8000 bytes a second
    uint64_t bytes = 0;   // checked at the receiving end
    uint64_t lost = 0;    // chunks missing between the first and the last seen
    std::string note;
};

// Feeds `inFd` as fast as the daemon takes the stream and reads `outFd` as
// fast as it comes for warm-up + `seconds`; counts what arrives after the
// warm-up.
Throughput unpaced(int inFd, int outFd, bool doubleIn, bool undoOut, double seconds)
{
    Throughput r;
    std::vector<uint8_t> block;
    for (uint32_t q = 0; q < 64; ++q) {
        uint8_t chunk[chunkSize], doubled[2 * chunkSize];
        makeMarkedChunk(chunk, chunkSize, q, 1);
        size_t n = doubleIn ? doubleDleBytes(chunk, chunkSize, doubled) : chunkSize;
        block.insert(block.end(), doubleIn ? doubled : chunk, (doubleIn ? doubled : chunk) + n);
    }
    ChunkReader reader(chunkSize, 1);
    bool pendingDle = false;
    uint64_t codes = 0;
    size_t offset = 0;
    uint64_t chunksSeen = 0;
    uint32_t expected = 0;
    bool counting = false;
    int64_t start = nowNs(), from = start + 300 * msNs, to = from + static_cast<int64_t>(seconds * 1e9);
    uint8_t buf[65536];
    pollfd fds[2] = {{inFd, POLLOUT, 0}, {outFd, POLLIN, 0}};
    for (int64_t t = start; t < to; t = nowNs()) {
        counting = t >= from;
        if (poll(fds, 2, 10) <= 0)
            continue;
        if (fds[0].revents & POLLOUT) {
            ssize_t w = write(inFd, block.data() + offset, block.size() - offset);
            if (w > 0)
                offset = (offset + static_cast<size_t>(w)) % block.size();
        }
        if (fds[1].revents & POLLIN) {
            ssize_t n = read(outFd, buf, sizeof buf);
            if (n <= 0)
                continue;
            size_t len = undoOut ? undoubleDle(buf, static_cast<size_t>(n), pendingDle, codes) : static_cast<size_t>(n);
            reader.feed(buf, len, [&](uint32_t seq) {
                // Sequence numbers run 0 ... 63 and over again.
                if (chunksSeen > 0 && seq != expected)
                    r.lost += (seq + 64 - expected) % 64;
                expected = (seq + 1) % 64;
                ++chunksSeen;
                if (counting)
                    r.bytes += chunkSize;
            });
        }
    }
    r.realTime = static_cast<double>(r.bytes) / seconds / bytesPerSecond;
    if (reader.badBytes() || codes)
        r.note = std::to_string(reader.badBytes()) + " bytes out of step";
    return r;
}

Throughput voiceDirection(kit::ScratchDir& dir, bool lineToSound, bool taping, double seconds)
{
    VoiceCall call(dir, lineToSound ? 100 : 101);
    Throughput r;
    r.what = std::string("voicephone ") + (lineToSound ? "line → sound device" : "sound device → line") +
             (taping ? ", taping on" : ", taping off");
    if (!call.start(0) || (taping && !call.startTaping())) {
        r.note = "could not start";
        return r;
    }
    std::string what = r.what;
    if (lineToSound)
        r = unpaced(call.lineFar(), call.soundFar(), true, false, seconds);
    else
        r = unpaced(call.soundFar(), call.lineFar(), false, true, seconds);
    r.what = what;
    if (taping) {
        uint32_t position = readWord(lineToSound ? call.block().ingoingPosition : call.block().outgoingPosition);
        r.note += (r.note.empty() ? "" : "; ") + std::to_string(position) + " bytes taped";
    }
    if (!call.stop())
        r.note += "; did not end on stopRequest";
    return r;
}

// The same through the floor bridge: what the stand-ins and the wake-up
// pattern allow without any of the daemon's work.
Throughput floorDirection(kit::ScratchDir& dir, bool lineToSound, double seconds)
{
    Throughput r;
    std::string what = std::string("floor bridge ") + (lineToSound ? "line → sound device" : "sound device → line");
    DescriptorPair line, sound;
    if (!makeLine(line) || !makeSoundSocket(sound)) {
        r.what = what;
        r.note = "no stand-ins";
        return r;
    }
    pid_t pid = spawnProgram(programPath("floor-bridge"), {"3", "4", std::to_string(chunkSize)},
                             {line.daemon, sound.daemon}, dir / ("tflog"));
    close(line.daemon);
    close(sound.daemon);
    line.daemon = sound.daemon = -1;
    if (lineToSound)
        r = unpaced(line.far, sound.far, true, false, seconds);
    else
        r = unpaced(sound.far, line.far, false, true, seconds);
    r.what = what;
    kill(pid, SIGTERM);
    // A worker waiting in a write to a full line needs the line drained.
    uint8_t buf[65536];
    if (!waitUntil(
            [&] {
                while (read(line.far, buf, sizeof buf) > 0) {
                }
                while (read(sound.far, buf, sizeof buf) > 0) {
                }
                return waitpid(pid, nullptr, WNOHANG) == pid;
            },
            3000ms, 1000)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    closePair(line);
    closePair(sound);
    return r;
}

Throughput playbackRun(kit::ScratchDir& dir, bool outgoingOnly, size_t bytes)
{
    std::string mode = outgoingOnly ? " (outgoing alone)" : " (mixed)";
    Throughput r;
    r.what = outgoingOnly ? "playback, outgoing file alone" : "playback, both files mixed";
    std::string in = dir / ("pin"), out = dir / ("pout");
    // Silence on the ingoing side leaves every marked byte as it is in the mix.
    if (!kit::writeFile(in, std::vector<uint8_t>(bytes, 0xFF)) || !kit::writeFile(out, markedStream(bytes, 1))) {
        r.note = "no tape files";
        return r;
    }
    Segment block;
    DescriptorPair sound;
    if (!makeSoundSocket(sound)) {
        r.note = "no stand-ins";
        return r;
    }
    Segment::setPath(block->ingoingPath, in);
    Segment::setPath(block->outgoingPath, out);
    writeWord(block->wrapMode, 1);
    writeWord(block->outgoingOnly, outgoingOnly ? 1 : 0);
    writeWord(block->ownerUid, getuid());
    writeWord(block->ownerGid, getgid());
    writeWord(block->playFlags, FlagStartRequest);
    pid_t pid = spawnProgram(programPath("playback-daemon"), {"3", std::to_string(chunkSize), std::to_string(block.id())},
                             {sound.daemon}, dir / ("plog"));
    close(sound.daemon);
    sound.daemon = -1;
    ChunkReader reader(chunkSize, 1);
    uint64_t received = 0;
    int64_t first = 0, last = 0;
    uint8_t buf[65536];
    int64_t deadline = nowNs() + 60000 * msNs;
    bool noted = false;
    while (received < bytes && nowNs() < deadline) {
        pollfd p{sound.far, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = read(sound.far, buf, sizeof buf);
        if (n <= 0)
            break;
        last = nowNs();
        if (first == 0)
            first = last;
        received += static_cast<uint64_t>(n);
        reader.feed(buf, static_cast<size_t>(n), [](uint32_t) {});
        if (!noted && received > bytes / 2) {
            noted = true;
            noteMemory("playback server" + mode, pid);
            for (pid_t c : childrenOf(pid))
                noteMemory("playback slave" + mode, c);
        }
    }
    int status = 0;
    if (!waitChild(pid, 5000ms, &status)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        r.note = "did not end at the end of the tape";
    }
    closePair(sound);
    r.bytes = reader.chunks() * chunkSize;
    r.lost = bytes / chunkSize - reader.chunks();
    if (last > first)
        r.realTime = static_cast<double>(received) / (static_cast<double>(last - first) / 1e9) / bytesPerSecond;
    return r;
}

Throughput recordRun(kit::ScratchDir& dir, size_t bytes)
{
    Throughput r;
    r.what = "record, sound device → tape";
    std::string out = dir / ("rout");
    Segment block;
    DescriptorPair sound;
    if (!makeSoundPipe(sound, true)) {
        r.note = "no stand-ins";
        return r;
    }
    Segment::setPath(block->outgoingPath, out);
    writeWord(block->wrapMode, 1);
    writeWord(block->tapeLimit, 0xFFFFFFFFu);
    writeWord(block->ownerUid, getuid());
    writeWord(block->ownerGid, getgid());
    writeWord(block->recordFlags, FlagStartRequest);
    pid_t pid = spawnProgram(programPath("record-daemon"), {"3", std::to_string(chunkSize), std::to_string(block.id())},
                             {sound.daemon}, dir / ("rlog"));
    close(sound.daemon);
    sound.daemon = -1;
    auto source = markedStream(bytes, 1);
    size_t offset = 0;
    int64_t first = 0, last = 0, deadline = nowNs() + 60000 * msNs;
    bool noted = false;
    while (nowNs() < deadline) {
        uint32_t position = readWord(block->outgoingPosition);
        if (position > 0 && first == 0)
            first = nowNs();
        if (position >= bytes) {
            last = nowNs();
            break;
        }
        if (!noted && position > bytes / 2) {
            noted = true;
            noteMemory("record server", pid);
            for (pid_t c : childrenOf(pid))
                noteMemory("record slave", c);
        }
        if (offset < source.size()) {
            pollfd p{sound.far, POLLOUT, 0};
            if (poll(&p, 1, 10) > 0) {
                ssize_t w = write(sound.far, source.data() + offset, source.size() - offset);
                if (w > 0)
                    offset += static_cast<size_t>(w);
            }
        } else {
            sleepUs(100);
        }
    }
    // The sound device goes on delivering until the daemon has ended, in
    // marked chunks that carry on the sequence.
    block->recordFlags.fetch_or(FlagStopRequest);
    uint32_t seq = static_cast<uint32_t>(bytes / chunkSize);
    if (offset < source.size())
        seq = static_cast<uint32_t>(offset / chunkSize); // the rest of a torn chunk is not sent
    std::vector<uint8_t> more(chunkSize);
    size_t moreAt = chunkSize;
    if (offset % chunkSize != 0) {
        moreAt = offset % chunkSize; // finish the torn chunk first
        makeMarkedChunk(more.data(), chunkSize, seq++, 1);
    }
    bool ended = waitUntil(
        [&] {
            if (moreAt == chunkSize) {
                makeMarkedChunk(more.data(), chunkSize, seq++, 1);
                moreAt = 0;
            }
            ssize_t w = write(sound.far, more.data() + moreAt, chunkSize - moreAt);
            if (w > 0)
                moreAt += static_cast<size_t>(w);
            return waitpid(pid, nullptr, WNOHANG) == pid;
        },
        5000ms, 1000);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        r.note = "did not end on the stop request";
    }
    closePair(sound);
    auto tape = kit::readFile(out);
    TapeCheck t = checkTape(tape.data(), tape.size(), chunkSize, 1);
    r.bytes = t.chunks * chunkSize;
    r.lost = t.bad;
    if (last > first)
        r.realTime = static_cast<double>(bytes) / (static_cast<double>(last - first) / 1e9) / bytesPerSecond;
    else
        r.note = "the tape did not reach its length";
    return r;
}

// ------------------------------------------------------------ responsiveness

struct Latency {
    std::string what;
    Summary s;
    std::string target;
    std::string note;
};

Latency tapeCommands(VoiceCall& call, int samples)
{
    Latency l{"tape command posted → done word (rewind and go-to-end in turn)", {}, "p99 ≤ 12 ms", ""};
    std::vector<double> v;
    ControlBlock& cb = call.block();
    for (int i = 0; i < samples; ++i) {
        bool rewind = i % 2 == 0;
        Word& done = rewind ? cb.rewindDone : cb.endDone;
        Word& request = rewind ? cb.rewindRequest : cb.endRequest;
        writeWord(done, 0);
        int64_t t0 = nowNs();
        writeWord(request, 1);
        if (!waitUntil([&] { return acquireWord(done) == 1; }, 1000ms, 20)) {
            l.note = "a command was not served within 1 s";
            break;
        }
        v.push_back(ms(nowNs() - t0));
        sleepUs(1000 + (i * 3137) % 9000); // post at every phase of the 10 ms pass
    }
    l.s = summarize(v);
    return l;
}

Latency dtmfKeys(VoiceCall& call, Pacer& pacer, int samples)
{
    Latency l{"DTMF key posted → first tone byte on the line", {}, "—", ""};
    std::vector<double> v;
    const char keys[] = "0123456789*#ABCD";
    ControlBlock& cb = call.block();
    for (int i = 0; i < samples; ++i) {
        uint8_t tone[dtmfToneSamples];
        char key = keys[i % 16];
        generateDtmfTone(tone, key);
        pacer.armTone(tone);
        int64_t t0 = nowNs();
        writeByte(cb.dtmfKey, static_cast<uint8_t>(key));
        if (!waitUntil([&] { return pacer.toneSeenAt() != 0; }, 2000ms, 50)) {
            l.note = "a tone did not reach the line within 2 s";
            break;
        }
        v.push_back(ms(pacer.toneSeenAt() - t0));
        if (!waitUntil([&] { return acquireWord(cb.dtmfPending) == 0 && readByte(cb.dtmfKey) == 0; }, 2000ms)) {
            l.note = "a tone did not end";
            break;
        }
        sleepUs(3000 + (i * 7919) % 20000);
    }
    l.s = summarize(v);
    return l;
}

// stopRequest → every process of the call has ended, over fresh calls.
Latency callEnds(kit::ScratchDir& dir, int samples)
{
    Latency l{"stopRequest → all three processes ended", {}, "—", ""};
    std::vector<double> v;
    for (int i = 0; i < samples; ++i) {
        VoiceCall call(dir, 200 + i);
        if (!call.start(0)) {
            l.note = "a call did not start";
            break;
        }
        Pacer pacer(call.lineFar(), call.soundFar(), true, true);
        sleepUs(100000 + (i * 7717) % 20000);
        int fds[3] = {openProcess(call.supervisor()), openProcess(call.t2a()), openProcess(call.a2t())};
        int64_t t0 = nowNs();
        writeWord(call.block().stopRequest, 1);
        bool all = waitUntil(
            [&] {
                return std::all_of(std::begin(fds), std::end(fds), [](int fd) { return fd >= 0 && processEnded(fd); });
            },
            3000ms, 50);
        int64_t t1 = nowNs();
        for (int fd : fds)
            if (fd >= 0)
                close(fd);
        if (!all) {
            l.note = "a call did not end within 3 s";
            break;
        }
        v.push_back(ms(t1 - t0));
        call.ended();
    }
    l.s = summarize(v);
    return l;
}

// Playback stop: the speaker takes what is queued once every 20 ms, so the
// slave waits in its write as it would on a device with a one-chunk period.
// (A stand-in that takes exactly one chunk per period would measure the
// socket instead: a writer waiting on a stream socket is woken only once
// three quarters of its send buffer have drained.)
std::pair<Latency, Latency> playbackStops(kit::ScratchDir& dir, int samples)
{
    Latency flagged{"playback stop request → FlagStopped", {}, "≤ 2 ms + one chunk (20 ms)", ""};
    Latency ended{"playback stop request → slave ended", {}, "≤ 2 ms + one chunk (20 ms)", ""};
    std::vector<double> vf, ve;
    std::string in = dir / ("sin"), out = dir / ("sout");
    kit::writeFile(in, std::vector<uint8_t>(800000, 0xFF));
    kit::writeFile(out, markedStream(800000, 1));
    for (int i = 0; i < samples; ++i) {
        Segment block;
        DescriptorPair sound;
        if (!makeSoundSocket(sound))
            break;
        int small = 4096;
        setsockopt(sound.daemon, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        Segment::setPath(block->ingoingPath, in);
        Segment::setPath(block->outgoingPath, out);
        writeWord(block->wrapMode, 1);
        writeWord(block->ownerUid, getuid());
        writeWord(block->ownerGid, getgid());
        writeWord(block->playFlags, FlagStartRequest);
        pid_t pid = spawnProgram(programPath("playback-daemon"),
                                 {"3", std::to_string(chunkSize), std::to_string(block.id())}, {sound.daemon},
                                 dir / ("slog"));
        close(sound.daemon);
        sound.daemon = -1;
        Pacer speaker(-1, sound.far, false, false, Speaker::Period);
        std::vector<pid_t> kids;
        waitUntil([&] { return !(kids = childrenOf(pid)).empty(); }, 2000ms, 500);
        sleepUs(300000 + (i * 4813) % 20000);
        int slave = kids.empty() ? -1 : openProcess(kids[0]);
        int64_t t0 = nowNs();
        block->playFlags.fetch_or(FlagStopRequest);
        bool f = waitUntil([&] { return flagSet(block->playFlags, FlagStopped); }, 2000ms, 20);
        int64_t t1 = nowNs();
        bool e = slave >= 0 && waitUntil([&] { return processEnded(slave); }, 2000ms, 20);
        int64_t t2 = nowNs();
        if (slave >= 0)
            close(slave);
        if (!waitChild(pid, 3000ms)) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        closePair(sound);
        if (!f || !e) {
            flagged.note = "a stop was not carried out within 2 s";
            break;
        }
        vf.push_back(ms(t1 - t0));
        ve.push_back(ms(t2 - t0));
    }
    flagged.s = summarize(vf);
    ended.s = summarize(ve);
    return {flagged, ended};
}


// ------------------------------------------------------- cost at real time

struct ProcessCost {
    std::string process;
    double cpuPct = 0;       // of one core
    double runsPerSecond = 0; // times put on a processor
};
std::vector<ProcessCost> costRows;

// Measures the named processes over `seconds` while the stand-ins keep pace.
void measureCost(const std::vector<std::pair<std::string, pid_t>>& processes, double seconds)
{
    std::vector<uint64_t> run0, slices0;
    for (auto& [name, pid] : processes) {
        run0.push_back(runTimeNs(pid).value_or(0));
        slices0.push_back(timeslices(pid).value_or(0));
    }
    int64_t t0 = nowNs();
    sleepUs(static_cast<int64_t>(seconds * 1e6));
    double window = static_cast<double>(nowNs() - t0) / 1e9;
    for (size_t i = 0; i < processes.size(); ++i) {
        auto run = runTimeNs(processes[i].second);
        auto slices = timeslices(processes[i].second);
        if (!run || !slices) {
            costRows.push_back({processes[i].first + " (ended early)", 0, 0});
            continue;
        }
        costRows.push_back({processes[i].first, 100.0 * static_cast<double>(*run - run0[i]) / 1e9 / window,
                            static_cast<double>(*slices - slices0[i]) / window});
    }
}

void pacedCosts(kit::ScratchDir& dir, double seconds)
{
    {
        // The floor bridge under the same stand-ins, process by process.
        DescriptorPair line, sound;
        if (makeLine(line) && makeSoundSocket(sound)) {
            pid_t pid = spawnProgram(programPath("floor-bridge"), {"3", "4", std::to_string(chunkSize)},
                                     {line.daemon, sound.daemon}, dir / ("flog"));
            close(line.daemon);
            close(sound.daemon);
            line.daemon = sound.daemon = -1;
            {
                Pacer pacer(line.far, sound.far, true, true);
                std::vector<pid_t> kids;
                waitUntil([&] { return (kids = childrenOf(pid)).size() == 2; }, 2000ms, 500);
                sleepUs(500000);
                if (kids.size() == 2)
                    measureCost({{"floor bridge parent", pid},
                                 {"floor bridge line → sound worker", kids[0]},
                                 {"floor bridge sound → line worker", kids[1]}},
                                seconds);
                kill(pid, SIGTERM);
                if (!waitChild(pid, 3000ms)) {
                    kill(pid, SIGKILL);
                    waitpid(pid, nullptr, 0);
                }
            }
            closePair(line);
            closePair(sound);
        }
    }
    {
        VoiceCall call(dir, 300);
        if (call.start(0) && call.startTaping()) {
            Pacer pacer(call.lineFar(), call.soundFar(), true, true);
            sleepUs(500000);
            measureCost({{"voicephone supervisor", call.supervisor()},
                         {"voicephone t2a pump", call.t2a()},
                         {"voicephone a2t pump", call.a2t()}},
                        seconds);
            call.stop();
        }
    }
    {
        std::string in = dir / ("cin"), out = dir / ("cout");
        kit::writeFile(in, std::vector<uint8_t>(800000, 0xFF));
        kit::writeFile(out, markedStream(800000, 1));
        Segment block;
        DescriptorPair sound;
        if (makeSoundSocket(sound)) {
            Segment::setPath(block->ingoingPath, in);
            Segment::setPath(block->outgoingPath, out);
            writeWord(block->wrapMode, 1);
            writeWord(block->ownerUid, getuid());
            writeWord(block->ownerGid, getgid());
            writeWord(block->playFlags, FlagStartRequest);
            // The smallest send buffer keeps the slave within a few chunks
            // of the speaker, as a device's buffer would.
            int smallest = 1;
            setsockopt(sound.daemon, SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest);
            pid_t pid = spawnProgram(programPath("playback-daemon"),
                                     {"3", std::to_string(chunkSize), std::to_string(block.id())}, {sound.daemon},
                                     dir / ("clog"));
            close(sound.daemon);
            sound.daemon = -1;
            Pacer speaker(-1, sound.far, false, false, Speaker::Exact);
            std::vector<pid_t> kids;
            waitUntil([&] { return !(kids = childrenOf(pid)).empty(); }, 2000ms, 500);
            sleepUs(500000);
            if (!kids.empty())
                measureCost({{"playback server", pid}, {"playback slave", kids[0]}}, seconds);
            block->playFlags.fetch_or(FlagStopRequest);
            if (!waitChild(pid, 3000ms)) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
            closePair(sound);
        }
    }
    {
        Segment block;
        DescriptorPair sound;
        if (makeSoundPipe(sound, true)) {
            Segment::setPath(block->outgoingPath, dir / ("crec"));
            writeWord(block->wrapMode, 1);
            writeWord(block->tapeLimit, 0xFFFFFFFFu);
            writeWord(block->ownerUid, getuid());
            writeWord(block->ownerGid, getgid());
            writeWord(block->recordFlags, FlagStartRequest);
            pid_t pid = spawnProgram(programPath("record-daemon"),
                                     {"3", std::to_string(chunkSize), std::to_string(block.id())}, {sound.daemon},
                                     dir / ("crlog"));
            close(sound.daemon);
            sound.daemon = -1;
            Pacer microphone(-1, sound.far, false, true, Speaker::None);
            std::vector<pid_t> kids;
            waitUntil([&] { return !(kids = childrenOf(pid)).empty(); }, 2000ms, 500);
            sleepUs(500000);
            if (!kids.empty())
                measureCost({{"record server", pid}, {"record slave", kids[0]}}, seconds);
            block->recordFlags.fetch_or(FlagStopRequest);
            if (!waitChild(pid, 3000ms)) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
            closePair(sound);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    int samples = 20;
    double seconds = 2;
    std::string only; // for profiling: cost, or one unpaced voicephone direction: line, sound
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--samples") == 0)
            samples = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--seconds") == 0)
            seconds = atof(argv[i + 1]);
        else if (strcmp(argv[i], "--only") == 0)
            only = argv[i + 1];
    }
    signal(SIGPIPE, SIG_IGN);
    kit::ScratchDir dir;
    if (dir.path().empty())
        return 1;
    if (only == "cost") {
        pacedCosts(dir, seconds);
        for (auto& c : costRows)
            printf("%-36s %7.3f %% %5.0f runs/s\n", c.process.c_str(), c.cpuPct, c.runsPerSecond);
        return 0;
    }
    if (!only.empty()) {
        Throughput r = voiceDirection(dir, only == "line", false, seconds);
        printf("%s: %.0f × real time %s\n", r.what.c_str(), r.realTime, r.note.c_str());
        return 0;
    }

    fprintf(stderr, "daemon-bench: cost at real time...\n");
    pacedCosts(dir, seconds);

    fprintf(stderr, "daemon-bench: throughput...\n");
    std::vector<Throughput> rates;
    for (bool lineToSound : {true, false}) {
        rates.push_back(floorDirection(dir, lineToSound, seconds));
        for (bool taping : {false, true})
            rates.push_back(voiceDirection(dir, lineToSound, taping, seconds));
    }
    const size_t tapeBytes = 100000 * chunkSize; // 2000 s of audio
    rates.push_back(playbackRun(dir, false, tapeBytes));
    rates.push_back(playbackRun(dir, true, tapeBytes));
    rates.push_back(recordRun(dir, tapeBytes));

    fprintf(stderr, "daemon-bench: responsiveness...\n");
    std::vector<Latency> answers;
    {
        VoiceCall call(dir, 1);
        if (call.start(16000)) {
            Pacer pacer(call.lineFar(), call.soundFar(), true, true);
            answers.push_back(tapeCommands(call, samples * 5));
            answers.push_back(dtmfKeys(call, pacer, samples));
            call.startTaping();
            sleepUs(500000);
            noteMemory("voicephone supervisor", call.supervisor());
            noteMemory("voicephone t2a pump", call.t2a());
            noteMemory("voicephone a2t pump", call.a2t());
            call.stop();
        } else {
            answers.push_back({"voicephone call", {}, "", "did not start"});
        }
    }
    answers.push_back(callEnds(dir, samples / 2));
    auto [flagged, ended] = playbackStops(dir, samples / 2);
    answers.push_back(flagged);
    answers.push_back(ended);

    printf("### Cost of one call at real time\n\n");
    printf("Each program alone, its stand-ins paced at 8000 bytes/s (floor bridge and voicephone: both directions, "
           "voicephone taping on; "
           "playback: mixed, the speaker taking one chunk per 20 ms; record: the microphone giving one chunk per "
           "20 ms), %.0f s measured. CPU from /proc/PID/schedstat; runs: times the process was put on a "
           "processor, about its wake-ups.\n\n",
           seconds);
    printf("| process | CPU (%% of one core) | runs per second |\n|---|---:|---:|\n");
    for (auto& c : costRows)
        printf("| %s | %.3f | %.0f |\n", c.process.c_str(), c.cpuPct, c.runsPerSecond);

    printf("\n### Throughput, nothing paced\n\n");
    printf("One call; the stand-ins give and take data as fast as the daemon does, chunk size %d. Voicephone: "
           "%.0f s measured after 0.3 s; playback and record: a %zu-byte tape. Target: line → sound device "
           "≥ 1000 × real time.\n\n",
           chunkSize, seconds, tapeBytes);
    printf("| what | × real time | bytes checked | chunks lost or wrong | note |\n|---|---:|---:|---:|---|\n");
    for (auto& r : rates)
        printf("| %s | %.0f | %llu | %llu | %s |\n", r.what.c_str(), r.realTime,
               static_cast<unsigned long long>(r.bytes), static_cast<unsigned long long>(r.lost), r.note.c_str());

    printf("\n### Responsiveness\n\n");
    printf("One call with both directions paced at 8000 bytes/s; requests posted at spread phases.\n\n");
    printf("| from → to | samples | p50 (ms) | p99 (ms) | max (ms) | target | note |\n|---|---:|---:|---:|---:|---|---|\n");
    for (auto& a : answers)
        printf("| %s | %zu | %.2f | %.2f | %.2f | %s | %s |\n", a.what.c_str(), a.s.count, a.s.p50, a.s.p99, a.s.max,
               a.target.c_str(), a.note.c_str());

    printf("\n### Memory\n\n");
    printf("Peak resident (VmHWM) and anonymous memory of each process (smaps_rollup: Anonymous counts pages "
           "shared copy-on-write with the parent, Private_Dirty only the process's own), taken mid-run. "
           "Target: private anonymous ≤ 512 KiB.\n\n");
    printf("| process | peak resident (KiB) | anonymous (KiB) | private dirty (KiB) |\n|---|---:|---:|---:|\n");
    for (auto& m : memoryRows)
        printf("| %s | %llu | %llu | %llu |\n", m.process.c_str(),
               static_cast<unsigned long long>(m.use.peakResidentKib),
               static_cast<unsigned long long>(m.use.anonymousKib),
               static_cast<unsigned long long>(m.use.privateDirtyKib));
    printf("\n");
    return 0;
}
