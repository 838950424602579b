// How the daemons' processes live and end: workers never outlive their
// parent, a signal to a parent is a clean shutdown, a parent notices a worker
// that died, and every stop finishes whatever the devices and files do.
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "line.h"
#include "playback_harness.h"
#include "record_harness.h"
#include "reliability_kit.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kit::ScratchDir;

constexpr int chunk = 160;
const std::string supervisor = "Orvex VoicePhone daemon: ";
const std::string t2a = "Orvex ttyI2Audio daemon: ";
const std::string a2t = "Orvex Audio2ttyI daemon: ";
const std::string playbackServer = "Orvex Playback daemon (server): ";
const std::string playbackSlave = "Orvex Playback daemon (slave): ";
const std::string recordServer = "Orvex Record daemon (server): ";
const std::string recordSlave = "Orvex Record daemon (slave): ";

// One field of /proc/PID/stat after the command name: 0 is the state.
std::string statField(pid_t pid, int index)
{
    std::string text = kit::readText("/proc/" + std::to_string(pid) + "/stat");
    size_t close = text.rfind(')');
    if (close == std::string::npos)
        return "";
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    for (int i = 0; i <= index && rest >> field; ++i) {
    }
    return field;
}

// Gone or a zombie waiting for us (orphans come to the test as subreaper).
bool ended(pid_t pid)
{
    std::string state = statField(pid, 0);
    if (state.empty() || state == "Z") {
        waitpid(pid, nullptr, WNOHANG);
        return true;
    }
    return false;
}

// Waits for every pid to end; the time it took, or nullopt after `limit`.
std::optional<std::chrono::milliseconds> waitEnded(const std::vector<pid_t>& pids,
                                                   std::chrono::milliseconds limit = 10s)
{
    auto start = Clock::now();
    for (;;) {
        bool all = true;
        for (pid_t p : pids)
            all = ended(p) && all;
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        if (all)
            return took;
        if (took > limit)
            return std::nullopt;
        std::this_thread::sleep_for(1ms);
    }
}

// CPU time of a process in clock ticks (user + system).
long cpuTicks(pid_t pid) { return std::atol(statField(pid, 11).c_str()) + std::atol(statField(pid, 12).c_str()); }

size_t count(const std::vector<std::string>& lines, const std::string& line)
{
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// A call in normal mode with taping on, audio flowing both ways.
struct Call {
    ScratchDir dir;
    sim::Segment seg;
    sim::Line line;
    sim::SoundDevice sound;
    sim::DaemonProcess daemon;
    pid_t t2aPid = 0, a2tPid = 0;

    explicit Call(bool answerMode = false)
    {
        kit::writeFile(dir / "in.tape", {});
        kit::writeFile(dir / "out.tape", {});
        sim::Segment::setPath(seg->ingoingPath, dir / "in.tape");
        sim::Segment::setPath(seg->outgoingPath, dir / "out.tape");
        sim::Segment::setPath(seg->messagePath, dir / "greeting.ul");
        sim::Segment::setPath(seg->responsePath, dir / "response.ul");
        writeWord(seg->ownerUid, getuid());
        writeWord(seg->ownerGid, getgid());
        writeWord(seg->wrapMode, 1);
        writeWord(seg->tapeLimit, 0xFFFFFFFF);
        writeWord(seg->responseLimit, 0xFFFFFFFF);
        writeWord(seg->answerMode, answerMode ? 1 : 0);
    }
    bool start()
    {
        if (!sim::startVoicePhone(daemon, line, sound, chunk, seg) || !daemon.waitForLine("PID (ttyI", 10s))
            return false;
        line.closeDaemonEnd();
        sound.closeDaemonEnd();
        t2aPid = reliab::pidAfter(daemon.output(), "PID (ttyI -> audio) = ");
        a2tPid = reliab::pidAfter(daemon.output(), "PID (audio -> ttyI) = ");
        return t2aPid > 0 && a2tPid > 0;
    }
    bool tapeAndTalk()
    {
        seg->recordFlags.fetch_or(FlagStartRequest);
        if (!seg.waitUntil([&] { return flagSet(seg->recordFlags, FlagActive); }, 10s))
            return false;
        sound.feed(reliab::pattern(16000, 2));
        return line.sendAudio(reliab::pattern(16000, 1)) &&
               seg.waitUntil([&] { return readWord(seg->ingoingPosition) >= 8000; }, 10s);
    }
};

// A playback of a tape long enough to outlast the test, on a device that
// takes no data once its buffer is full: its stand-in never reads.
struct Playback {
    ScratchDir dir;
    sim::Segment seg;
    int device[2] = {-1, -1};
    sim::DaemonProcess daemon;
    pid_t slavePid = 0;

    explicit Playback(const std::string& tape = "")
    {
        std::string path = tape.empty() ? dir / "tape" : tape;
        if (tape.empty())
            kit::writeFile(path, reliab::pattern(800000, 4));
        playtest::fillRecord(seg, path, path);
        writeWord(seg->ownerUid, getuid());
        writeWord(seg->ownerGid, getgid());
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, device);
    }
    ~Playback()
    {
        for (int fd : device)
            if (fd >= 0)
                close(fd);
    }
    bool start()
    {
        std::vector<std::string> args{sim::programPath("playback-daemon"), std::to_string(device[1]),
                                      std::to_string(chunk), std::to_string(seg.id())};
        if (!daemon.start(args.front(), args, {device[1]}) || !daemon.waitForLine("PID (audio playback)", 10s))
            return false;
        slavePid = reliab::pidAfter(daemon.output(), "PID (audio playback) = ");
        return slavePid > 0;
    }
    // The device has stopped taking data: nothing has moved for a while.
    bool stalled()
    {
        uint32_t last = ~0u;
        for (int same = 0, round = 0; round < 2000; ++round) {
            std::this_thread::sleep_for(5ms);
            uint32_t now = readWord(seg->tapePosition);
            same = now == last ? same + 1 : 0;
            last = now;
            if (same == 20 && now > 0)
                return true;
        }
        return false;
    }
};

// A recording from a microphone that delivers at the pace of speech.
struct Recording : rectest::Recording {
    pid_t slavePid = 0;

    Recording()
    {
        writeWord(seg->ownerUid, getuid());
        writeWord(seg->ownerGid, getgid());
    }
    bool start()
    {
        if (!rectest::Recording::start(chunk) || !daemon.waitForLine("PID (audio playback)", 10s))
            return false;
        slavePid = reliab::pidAfter(daemon.output(), "PID (audio playback) = ");
        return slavePid > 0;
    }
    bool talk()
    {
        sound.setPaced(true);
        sound.feed(reliab::pattern(80000, 5));
        return seg.waitUntil([&] { return readWord(seg->outgoingPosition) >= 1600; }, 10s);
    }
};

TEST(Lifecycle, PumpsEndWithTheirDyingLineWhenTheSupervisorIsKilled)
{
    Call call;
    ASSERT_TRUE(call.start());
    ASSERT_TRUE(call.tapeAndTalk());
    ASSERT_EQ(kill(call.daemon.pid(), SIGKILL), 0);
    auto took = waitEnded({call.t2aPid, call.a2tPid});
    ASSERT_TRUE(took.has_value()) << "a pump outlived the supervisor";
    RecordProperty("pumps_ended_ms", static_cast<int>(took->count()));
    call.daemon.wait(10s);
    EXPECT_EQ(call.daemon.termSignal(), SIGKILL);
    sim::Lines lines = call.daemon.lines();
    EXPECT_EQ(count(lines.out, t2a + "Dying"), 1u);
    EXPECT_EQ(count(lines.out, a2t + "Dying"), 1u);
    // What was taped is kept where the position says.
    std::vector<uint8_t> taped = kit::readFile(call.dir / "in.tape");
    uint32_t position = readWord(call.seg->ingoingPosition);
    ASSERT_GE(taped.size(), position);
    EXPECT_TRUE(reliab::startsWith(taped, reliab::pattern(16000, 1), position));
}

TEST(Lifecycle, SlavesEndWhenTheirServerIsKilledEvenOnAStalledDevice)
{
    {
        Recording rec;
        ASSERT_TRUE(rec.start());
        ASSERT_TRUE(rec.talk());
        ASSERT_EQ(kill(rec.daemon.pid(), SIGKILL), 0);
        ASSERT_TRUE(waitEnded({rec.slavePid}).has_value()) << "the record slave outlived its server";
        rec.daemon.wait(10s);
        EXPECT_EQ(count(rec.daemon.lines().out, recordSlave + "Dying"), 1u);
        // What was recorded is kept, and the position says how much.
        std::vector<uint8_t> taken = kit::readFile(rec.tape);
        EXPECT_EQ(taken.size(), readWord(rec.seg->outgoingPosition));
        EXPECT_TRUE(reliab::startsWith(reliab::pattern(80000, 5), taken, taken.size()));
    }
    {
        Playback play;
        ASSERT_TRUE(play.start());
        ASSERT_TRUE(play.stalled());
        ASSERT_EQ(kill(play.daemon.pid(), SIGKILL), 0);
        ASSERT_TRUE(waitEnded({play.slavePid}).has_value()) << "the playback slave outlived its server";
        play.daemon.wait(10s);
        EXPECT_EQ(count(play.daemon.lines().out, playbackSlave + "Dying"), 1u);
    }
}

TEST(Lifecycle, TerminatingSignalsShutTheParentsDownCleanly)
{
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        {
            Call call;
            ASSERT_TRUE(call.start());
            ASSERT_TRUE(call.tapeAndTalk());
            ASSERT_EQ(kill(call.daemon.pid(), sig), 0);
            EXPECT_EQ(call.daemon.wait(10s), std::optional<int>(0));
            sim::Lines lines = call.daemon.lines();
            EXPECT_EQ(count(lines.out, supervisor + "Dying"), 1u);
            EXPECT_EQ(count(lines.out, t2a + "Dying"), 1u);
            EXPECT_EQ(count(lines.out, a2t + "Dying"), 1u);
            EXPECT_EQ(readWord(call.seg->t2aRunning), 0u);
            EXPECT_EQ(readWord(call.seg->a2tRunning), 0u);
            EXPECT_EQ(readWord(call.seg->errorFlag), 0u);
            EXPECT_TRUE(reliab::groupMembers(call.daemon.pid()).empty());
        }
        {
            Recording rec;
            ASSERT_TRUE(rec.start());
            ASSERT_TRUE(rec.talk());
            ASSERT_EQ(kill(rec.daemon.pid(), sig), 0);
            EXPECT_EQ(rec.daemon.wait(10s), std::optional<int>(0));
            EXPECT_EQ(count(rec.daemon.lines().out, recordServer + "Dying"), 1u);
            EXPECT_EQ(count(rec.daemon.lines().out, recordSlave + "Dying"), 1u);
            EXPECT_EQ(readWord(rec.seg->recordRunning), 0u);
            EXPECT_EQ(kit::readFile(rec.tape).size(), readWord(rec.seg->outgoingPosition));
        }
        {
            Playback play;
            ASSERT_TRUE(play.start());
            ASSERT_EQ(kill(play.daemon.pid(), sig), 0);
            EXPECT_EQ(play.daemon.wait(10s), std::optional<int>(0));
            EXPECT_EQ(count(play.daemon.lines().out, playbackServer + "Dying"), 1u);
            EXPECT_EQ(count(play.daemon.lines().out, playbackSlave + "Dying"), 1u);
            EXPECT_EQ(readWord(play.seg->playRunning), 0u);
            EXPECT_EQ(readWord(play.seg->tapePosition), 0u); // not a stop request: rewound
        }
    }
}

TEST(Lifecycle, AParentNoticesAWorkerThatDiedAndEnds)
{
    for (bool killT2a : {true, false}) {
        SCOPED_TRACE(killT2a ? "ttyI -> audio" : "audio -> ttyI");
        Call call;
        ASSERT_TRUE(call.start());
        ASSERT_TRUE(call.tapeAndTalk());
        ASSERT_EQ(kill(killT2a ? call.t2aPid : call.a2tPid, SIGKILL), 0);
        EXPECT_EQ(call.daemon.wait(10s), std::optional<int>(0));
        EXPECT_EQ(readWord(call.seg->errorFlag), 1u);
        EXPECT_EQ(call.daemon.errors(), supervisor + (killT2a ? "Pump (ttyI -> audio)" : "Pump (audio -> ttyI)") +
                                            " ended while running: killed by signal 9 (Killed)\n");
        EXPECT_EQ(count(call.daemon.lines().out, (killT2a ? a2t : t2a) + "Dying"), 1u);
        EXPECT_EQ(count(call.daemon.lines().out, supervisor + "Dying"), 1u);
    }
    {
        Playback play;
        ASSERT_TRUE(play.start());
        ASSERT_TRUE(play.stalled());
        ASSERT_EQ(kill(play.slavePid, SIGKILL), 0);
        EXPECT_EQ(play.daemon.wait(10s), std::optional<int>(0));
        EXPECT_EQ(play.daemon.errors(),
                  playbackServer + "Slave (audio playback) ended while running: killed by signal 9 (Killed)\n");
        EXPECT_EQ(readWord(play.seg->errorFlag), 1u);
        EXPECT_FALSE(flagSet(play.seg->playFlags, FlagActive));
        EXPECT_EQ(readWord(play.seg->playRunning), 0u);
        EXPECT_EQ(readWord(play.seg->tapePosition), 0u);
    }
    {
        Recording rec;
        ASSERT_TRUE(rec.start());
        ASSERT_TRUE(rec.talk());
        ASSERT_EQ(kill(rec.slavePid, SIGKILL), 0);
        EXPECT_EQ(rec.daemon.wait(10s), std::optional<int>(0));
        EXPECT_EQ(rec.daemon.errors(), recordServer + "Slave ended while running: killed by signal 9 (Killed)\n");
        EXPECT_EQ(readWord(rec.seg->errorFlag), 1u);
        EXPECT_FALSE(flagSet(rec.seg->recordFlags, FlagActive));
        EXPECT_EQ(readWord(rec.seg->recordRunning), 0u);
    }
}

// Each stop below used to hang for good in a blocking read or write.
TEST(Lifecycle, AStopFinishesOnALineThatTakesNoData)
{
    Call call;
    ASSERT_TRUE(call.start());
    call.line.pause(true);
    std::vector<uint8_t> lots = reliab::pattern(400000, 3);
    call.sound.feed(lots);
    // Far more than the line holds: the pump drops what the line cannot
    // take instead of waiting in a write.
    ASSERT_TRUE(call.seg.waitUntil([&] { return call.sound.pendingFeed() < lots.size() - 100000; }, 30s))
        << "the audio-to-ttyI pump stopped reading the device";
    auto start = Clock::now();
    writeWord(call.seg->stopRequest, 1);
    EXPECT_EQ(call.daemon.wait(10s), std::optional<int>(0));
    RecordProperty("stop_ms", static_cast<int>(
                                  std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()));
}

TEST(Lifecycle, AStopFinishesOnDevicesThatDeliverOrTakeNothing)
{
    {
        Recording rec; // a microphone that never delivers
        ASSERT_TRUE(rec.start());
        rec.seg->recordFlags.fetch_or(FlagStopRequest);
        EXPECT_EQ(rec.daemon.wait(10s), std::optional<int>(0));
        EXPECT_EQ(count(rec.daemon.lines().out, recordSlave + "Dying"), 1u);
    }
    {
        Playback play; // a speaker that takes no more
        ASSERT_TRUE(play.start());
        ASSERT_TRUE(play.stalled());
        play.seg->playFlags.fetch_or(FlagStopRequest);
        EXPECT_EQ(play.daemon.wait(10s), std::optional<int>(0));
        EXPECT_TRUE(flagSet(play.seg->playFlags, FlagStopped));
        EXPECT_EQ(count(play.daemon.lines().out, playbackSlave + "Dying"), 1u);
    }
}

TEST(Lifecycle, AStopFinishesOnAFifoWhoseWriterIsSilent)
{
    {
        Call call(true);
        std::string fifo = call.dir / "greeting.ul";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC); // held open, never written
        ASSERT_GE(writer, 0);
        ASSERT_TRUE(call.start());
        writeWord(call.seg->messageStart, 1);
        ASSERT_TRUE(call.seg.waitFor(call.seg->messageStart, 0, 10s));
        EXPECT_EQ(readWord(call.seg->messagePlaying), 1u);
        ASSERT_TRUE(call.line.sendEnd());
        EXPECT_EQ(call.daemon.wait(10s), std::optional<int>(0));
        EXPECT_EQ(count(call.daemon.lines().out, a2t + "Dying"), 1u);
        close(writer);
    }
    {
        ScratchDir dir;
        std::string fifo = dir / "tape";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(writer, 0);
        Playback play(fifo);
        ASSERT_TRUE(play.start());
        play.seg->playFlags.fetch_or(FlagStopRequest);
        EXPECT_EQ(play.daemon.wait(10s), std::optional<int>(0));
        EXPECT_TRUE(flagSet(play.seg->playFlags, FlagStopped));
        close(writer);
    }
}

// A microphone that reads as ended is asked again after a pause, not in a
// loop that eats a core.
TEST(Lifecycle, ARecordSlaveOnAnEndedDeviceWaitsInsteadOfSpinning)
{
    Recording rec;
    rec.sound.endSource();
    ASSERT_TRUE(rec.start());
    ASSERT_TRUE(rec.seg.waitUntil([&] { return statField(rec.slavePid, 0) != ""; }, 10s));
    long before = cpuTicks(rec.slavePid);
    auto start = Clock::now();
    std::this_thread::sleep_for(1s); // the span measured, not a synchronisation
    long used = cpuTicks(rec.slavePid) - before;
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    double share = static_cast<double>(used) / static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds;
    RecordProperty("slave_cpu_percent", static_cast<int>(share * 100));
    EXPECT_LT(share, 0.1) << "the slave used " << share * 100 << " % of a core";
    rec.seg->recordFlags.fetch_or(FlagStopRequest);
    EXPECT_EQ(rec.daemon.wait(10s), std::optional<int>(0));
}

TEST(Lifecycle, AnUnsupportedWrapModeIsReportedOnASilentDevice)
{
    Call call;
    writeWord(call.seg->wrapMode, 3);
    ASSERT_TRUE(call.start());
    ASSERT_TRUE(call.daemon.waitForLine("(audio->ttyI) read", 10s)) << call.daemon.errors();
    EXPECT_NE(call.daemon.errors().find("Wrap mode 3 not implemented\n"), std::string::npos);
    writeWord(call.seg->stopRequest, 1);
    EXPECT_EQ(call.daemon.wait(10s), std::optional<int>(0));
}

} // namespace
