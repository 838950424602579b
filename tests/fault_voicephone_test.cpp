// voicephone-daemon under injected faults: pump forks that fail, tape and
// response writes that fail or fall short, a full disk, sound-device and
// ttyI read errors, select failures, EAGAIN storms and a line that hangs up.
// Each ends as the pumps' failure handling says, keeps everything taped
// before the fault where the positions name it, and leaves no process behind.
#include <gtest/gtest.h>
#include <optional>
#include <sys/resource.h>

#include "daemon_process.h"
#include "line.h"
#include "reliability_kit.h"
#include "segment.h"
#include "sound_device.h"

namespace {

using namespace std::chrono_literals;
using kit::ScratchDir;

// Divides the sound-device stand-in's 8192-byte blocks, so reads are whole
// and the outgoing tape (whole chunks even after a short read) holds only
// bytes that crossed.
constexpr int chunk = 256;
constexpr size_t tapeSize = 16000;
const std::string supervisor = "Orvex VoicePhone daemon: ";
const std::string t2a = "Orvex ttyI2Audio daemon: ";
const std::string a2t = "Orvex Audio2ttyI daemon: ";

struct CallRun {
    ScratchDir dir;
    std::string inTape = dir / "in.tape";
    std::string outTape = dir / "out.tape";
    std::string greeting = dir / "greeting.ul";
    std::string response = dir / "response.ul";
    std::string log = dir / "faults.log";
    std::vector<uint8_t> inBefore = reliab::pattern(tapeSize, 21);
    std::vector<uint8_t> outBefore = reliab::pattern(tapeSize, 22);
    sim::Segment seg;
    sim::Line line;
    sim::SoundDevice sound;
    sim::DaemonProcess daemon;

    explicit CallRun(bool answerMode = false)
    {
        kit::writeFile(inTape, inBefore);
        kit::writeFile(outTape, outBefore);
        sim::Segment::setPath(seg->ingoingPath, inTape);
        sim::Segment::setPath(seg->outgoingPath, outTape);
        sim::Segment::setPath(seg->messagePath, greeting);
        sim::Segment::setPath(seg->responsePath, response);
        writeWord(seg->ownerUid, getuid());
        writeWord(seg->ownerGid, getgid());
        writeWord(seg->wrapMode, 1);
        writeWord(seg->tapeLimit, 0xFFFFFFFF);
        writeWord(seg->responseLimit, 1000000);
        writeWord(seg->answerMode, answerMode ? 1 : 0);
    }

    bool start(const std::string& rules = "")
    {
        bool ok = sim::startVoicePhone(daemon, line, sound, chunk, seg,
                                       rules.empty() ? std::vector<std::string>{} : reliab::faultEnv(rules, log));
        line.closeDaemonEnd();
        sound.closeDaemonEnd();
        return ok && seg.waitFor(seg->phoneUp, 1);
    }

    std::string ttyRule(int process, const std::string& rest) const
    {
        return "fd=" + std::to_string(line.daemonFd()) + ",in=" + std::to_string(process) + "," + rest;
    }
    std::string soundRule(const std::string& rest) const
    {
        return "call=read,fd=" + std::to_string(sound.daemonFd()) + ",in=2," + rest;
    }

    bool startTaping()
    {
        seg->recordFlags.fetch_or(FlagStartRequest);
        return seg.waitUntil([&] { return flagSet(seg->recordFlags, FlagActive); });
    }

    // Ends the call with stopRequest and checks the way out.
    void stop()
    {
        writeWord(seg->stopRequest, 1);
        finish();
    }

    void finish()
    {
        ASSERT_EQ(daemon.wait(10s), std::optional<int>(0)) << daemon.errors();
        EXPECT_TRUE(reliab::groupMembers(daemon.pid()).empty()) << "a pump outlived the supervisor";
        EXPECT_NE(daemon.output().find(supervisor + "Dying\n"), std::string::npos);
    }

    std::string pidLine() const
    {
        for (const std::string& l : daemon.lines().out)
            if (l.find("PID (ttyI -> audio)") != std::string::npos)
                return l;
        return "";
    }
};

std::vector<uint8_t> slice(const std::vector<uint8_t>& v, size_t from, size_t count)
{
    return std::vector<uint8_t>(v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + count));
}

// Whichever fork fails, both starts are made, the PID line shows 0 for the
// pump that does not exist, the loop is never entered and the pump that was
// forked is waited for.
TEST(VoicePhoneFaults, PumpForkFailuresEndTheCallAtOnce)
{
    struct Case {
        const char* rules;
        const char* errorLines;
        bool t2aExists, a2tExists;
    } cases[] = {
        {"call=fork,count=1,errno=EAGAIN", "t2a fork: Resource temporarily unavailable\n", false, true},
        {"call=fork,after=1,count=1,errno=EAGAIN", "a2t fork: Resource temporarily unavailable\n", true, false},
        {"call=fork,errno=ENOMEM", "t2a fork: Cannot allocate memory\na2t fork: Cannot allocate memory\n", false,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rules);
        CallRun r;
        ASSERT_TRUE(r.start(c.rules));
        r.finish();
        EXPECT_EQ(r.daemon.errors(), c.errorLines);
        pid_t t2aPid = reliab::pidAfter(r.pidLine(), "PID (ttyI -> audio) = ");
        pid_t a2tPid = reliab::pidAfter(r.pidLine(), "PID (audio -> ttyI) = ");
        EXPECT_EQ(t2aPid != 0, c.t2aExists) << r.pidLine();
        EXPECT_EQ(a2tPid != 0, c.a2tExists) << r.pidLine();
        std::string out = r.daemon.output();
        EXPECT_EQ(out.find(t2a + "Dying\n") != std::string::npos, c.t2aExists);
        EXPECT_EQ(out.find(a2t + "Dying\n") != std::string::npos, c.a2tExists);
        EXPECT_EQ(readWord(r.seg->t2aRunning), 0u);
        EXPECT_EQ(readWord(r.seg->a2tRunning), 0u);
        EXPECT_EQ(readWord(r.seg->phoneUp), 1u);
    }
}

// A failed or short write of the ingoing tape: errorFlag, FlagActive off,
// the message, ingoingPosition where it was.  Taping started again lands
// exactly there: the short write's bytes do not shift the tape.
TEST(VoicePhoneFaults, IngoingTapeWriteFailureKeepsTheTapeInStep)
{
    for (const char* how : {"errno=EIO", "short=37,errno=ENOSPC"}) {
        SCOPED_TRACE(how);
        CallRun r;
        ASSERT_TRUE(r.start(std::string("call=fwrite,path=in.tape,after=10,count=1,") + how));
        ASSERT_TRUE(r.startTaping());
        std::vector<uint8_t> first = reliab::pattern(30 * chunk, 31);
        ASSERT_TRUE(r.line.sendAudio(first));
        ASSERT_TRUE(r.seg.waitFor(r.seg->errorFlag, 1, 10s)) << "errorFlag after the failed write";
        // Taping started before the pump has handed on the last of the
        // first audio would tape it: a touchtone behind the audio marks
        // the end of what it has decoded.
        ASSERT_TRUE(r.line.sendCode('1'));
        ASSERT_TRUE(r.daemon.waitForLine(t2a + "Touchtone '1'", 10s)) << "the touchtone behind the first audio";
        EXPECT_TRUE(r.daemon.waitForLine(t2a + "Error writing to file " + r.inTape));
        EXPECT_EQ(readWord(r.seg->recordFlags), FlagStarted);
        EXPECT_EQ(readWord(r.seg->ingoingPosition), 10u * chunk);

        ASSERT_TRUE(r.startTaping());
        std::vector<uint8_t> second = reliab::pattern(5 * chunk, 32);
        ASSERT_TRUE(r.line.sendAudio(second));
        ASSERT_TRUE(r.seg.waitUntil([&] { return readWord(r.seg->ingoingPosition) >= 15u * chunk; }, 10s))
            << "ingoingPosition at 15 chunks, it is at " << readWord(r.seg->ingoingPosition);
        EXPECT_EQ(readWord(r.seg->ingoingPosition), 15u * chunk);
        r.stop();
        EXPECT_EQ(reliab::faultsFired(r.log), 1);
        std::vector<uint8_t> tape = kit::readFile(r.inTape);
        ASSERT_EQ(tape.size(), tapeSize);
        EXPECT_EQ(slice(tape, 0, 10 * chunk), slice(first, 0, 10 * chunk));
        EXPECT_EQ(slice(tape, 10 * chunk, 5 * chunk), second);
        EXPECT_EQ(slice(tape, 15 * chunk, tapeSize - 15 * chunk), slice(r.inBefore, 15 * chunk, tapeSize - 15 * chunk));
        EXPECT_EQ(kit::readFile(r.outTape), r.outBefore) << "the outgoing side taped nothing";
    }
}

TEST(VoicePhoneFaults, OutgoingTapeWriteFailureKeepsWhatWasTaped)
{
    CallRun r;
    ASSERT_TRUE(r.start("call=fwrite,path=out.tape,after=6,count=1,errno=ENOSPC"));
    ASSERT_TRUE(r.startTaping());
    std::vector<uint8_t> fed = reliab::pattern(40 * chunk, 41);
    r.sound.feed(fed);
    ASSERT_TRUE(r.seg.waitFor(r.seg->errorFlag, 1));
    ASSERT_TRUE(r.sound.waitFedOut());
    EXPECT_TRUE(r.daemon.waitForLine(a2t + "Error writing to file " + r.outTape));
    EXPECT_EQ(readWord(r.seg->recordFlags), FlagStarted);
    uint32_t position = readWord(r.seg->outgoingPosition);
    EXPECT_GT(position, 0u);
    r.stop();
    std::vector<uint8_t> tape = kit::readFile(r.outTape);
    ASSERT_EQ(tape.size(), tapeSize);
    EXPECT_EQ(slice(tape, 0, position), slice(fed, 0, position));
    EXPECT_EQ(slice(tape, position, tapeSize - position), slice(r.outBefore, position, tapeSize - position));
}

// A full disk is a failed write, not a SIGXFSZ death.
TEST(VoicePhoneFaults, FullDiskStopsTapingWithoutKillingAPump)
{
    CallRun r;
    writeWord(r.seg->tapePosition, tapeSize); // tape at its end: taping grows the files
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit small = old;
    small.rlim_cur = tapeSize + 20 * chunk + 50;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool started = r.start();
    setrlimit(RLIMIT_FSIZE, &old);
    ASSERT_TRUE(started);
    ASSERT_TRUE(r.startTaping());
    ASSERT_TRUE(r.line.sendAudio(reliab::pattern(40 * chunk, 51)));
    ASSERT_TRUE(r.seg.waitFor(r.seg->errorFlag, 1));
    EXPECT_TRUE(r.daemon.waitForLine(t2a + "Error writing to file " + r.inTape));
    EXPECT_EQ(readWord(r.seg->ingoingPosition), tapeSize + 20u * chunk);
    // Both pumps still run: the call goes on without the tape.
    EXPECT_EQ(readWord(r.seg->t2aRunning), 1u);
    EXPECT_EQ(readWord(r.seg->a2tRunning), 1u);
    r.stop();
    EXPECT_EQ(r.daemon.termSignal(), 0);
    EXPECT_NE(r.daemon.output().find(t2a + "Dying\n"), std::string::npos);
    EXPECT_NE(r.daemon.output().find(a2t + "Dying\n"), std::string::npos);
}

// Read and select failures end one pump at once, without its "Dying" line;
// the other pump and the supervisor go on until the call is stopped.
TEST(VoicePhoneFaults, DeviceAndLineFailuresEndOnlyTheirPump)
{
    enum Fault { SoundRead, TtyRead, TtySelect };
    for (Fault fault : {SoundRead, TtyRead, TtySelect}) {
        CallRun r;
        std::string rules, errorLine;
        bool t2aEnds = fault != SoundRead;
        switch (fault) {
        case SoundRead:
            rules = r.soundRule("after=3,errno=EIO");
            errorLine = "(audio->ttyI) read: Input/output error\n";
            break;
        case TtyRead:
            rules = "call=read," + r.ttyRule(1, "after=2,errno=EIO");
            errorLine = "(ttyI->audio) read: Input/output error\n";
            break;
        case TtySelect:
            rules = "call=select," + r.ttyRule(1, "after=2,errno=EBADF");
            errorLine = "(ttyI->audio) select: Bad file descriptor\n";
            break;
        }
        SCOPED_TRACE(rules);
        ASSERT_TRUE(r.start(rules));
        r.sound.feed(reliab::pattern(20 * chunk, 61));
        for (int i = 0; i < 5; ++i)
            ASSERT_TRUE(r.line.sendAudio(reliab::pattern(chunk, 62 + i)));
        ASSERT_TRUE(r.seg.waitFor(t2aEnds ? r.seg->t2aRunning : r.seg->a2tRunning, 0));
        EXPECT_TRUE(r.daemon.waitForLine(errorLine.substr(0, errorLine.size() - 1)));
        // The other pump still carries its direction.
        if (t2aEnds) {
            size_t before = r.line.receivedCount();
            r.sound.feed(reliab::pattern(4 * chunk, 63));
            EXPECT_TRUE(r.line.waitForReceived(before + 4 * chunk));
        } else {
            size_t before = r.sound.playedCount();
            ASSERT_TRUE(r.line.sendAudio(reliab::pattern(4 * chunk, 64)));
            EXPECT_TRUE(r.sound.waitForPlayed(before + 4 * chunk));
        }
        EXPECT_EQ(readWord(t2aEnds ? r.seg->a2tRunning : r.seg->t2aRunning), 1u);
        r.stop();
        EXPECT_EQ(reliab::faultsFired(r.log), 1);
        EXPECT_EQ(r.daemon.errors(), errorLine);
        std::string out = r.daemon.output();
        EXPECT_EQ(out.find(t2a + "Dying\n") == std::string::npos, t2aEnds);
        EXPECT_EQ(out.find(a2t + "Dying\n") == std::string::npos, !t2aEnds);
    }
}

// EAGAIN thousands of times in a row, from the sound device and from the
// line, loses no audio in either direction.
TEST(VoicePhoneFaults, EagainStormsLoseNoAudio)
{
    CallRun r;
    ASSERT_TRUE(r.start(r.soundRule("count=3000,errno=EAGAIN") + ";call=read," +
                        r.ttyRule(1, "count=3000,errno=EAGAIN")));
    std::vector<uint8_t> up = reliab::pattern(50 * chunk, 71);
    std::vector<uint8_t> down = reliab::pattern(50 * chunk, 72);
    r.sound.feed(up);
    ASSERT_TRUE(r.line.sendAudio(down));
    EXPECT_TRUE(r.line.waitForReceived(up.size(), 20s));
    EXPECT_TRUE(r.sound.waitForPlayed(down.size(), 20s));
    r.stop();
    EXPECT_EQ(r.line.received(), up);
    EXPECT_EQ(r.sound.played(), down);
    EXPECT_EQ(reliab::faultsFired(r.log), 6000);
    EXPECT_EQ(r.daemon.errors(), "");
}

// Line writes cut short while the line has room, as the write bound's signal
// does when the pump was preempted around its write: interrupted before a
// byte moved, or after a few.  The pump writes on; the line gets every byte.
TEST(VoicePhoneFaults, LineWritesCutShortWhileTheLineHasRoomLoseNoAudio)
{
    struct Case {
        const char* rule;
        int faults;
    };
    for (const Case& c : {Case{"after=3,count=3,errno=EINTR", 3}, Case{"after=3,count=3,short=7", 3}}) {
        SCOPED_TRACE(c.rule);
        CallRun r;
        ASSERT_TRUE(r.start("call=write," + r.ttyRule(2, c.rule)));
        std::vector<uint8_t> up = reliab::pattern(50 * chunk, 73);
        r.sound.feed(up);
        EXPECT_TRUE(r.line.waitForReceived(up.size(), 20s))
            << "awaited every byte on the line; " << r.line.received().size() << " of " << up.size() << " came; "
            << kit::readText(r.log);
        r.stop();
        EXPECT_EQ(r.line.received(), up);
        EXPECT_EQ(reliab::faultsFired(r.log), c.faults);
        EXPECT_EQ(r.daemon.errors(), "");
    }
}

// A line that hangs up mid-call: what came before is taped and played, the
// pumps neither die nor spin, and the call still ends on stopRequest.
TEST(VoicePhoneFaults, LineHangingUpMidCall)
{
    CallRun r;
    ASSERT_TRUE(r.start());
    ASSERT_TRUE(r.startTaping());
    std::vector<uint8_t> said = reliab::pattern(20 * chunk, 81);
    ASSERT_TRUE(r.line.sendAudio(said));
    ASSERT_TRUE(r.seg.waitFor(r.seg->ingoingPosition, said.size()));
    r.line.hangUp();
    r.sound.feed(reliab::pattern(10 * chunk, 82)); // the a2t pump's writes now fail
    ASSERT_TRUE(r.sound.waitFedOut());
    pid_t t2aPid = reliab::pidAfter(r.pidLine(), "PID (ttyI -> audio) = ");
    ASSERT_GT(t2aPid, 0);
    auto cpuTicks = [](pid_t pid) -> std::optional<unsigned long> {
        std::string stat = kit::readText("/proc/" + std::to_string(pid) + "/stat");
        size_t name = stat.rfind(')');
        unsigned long user = 0, system = 0;
        if (name == std::string::npos ||
            sscanf(stat.c_str() + name + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system) != 2)
            return std::nullopt;
        return user + system;
    };
    auto before = cpuTicks(t2aPid);
    std::this_thread::sleep_for(500ms);
    auto after = cpuTicks(t2aPid);
    // The reading pump reads the end of the line and waits on.  A read
    // that falls inside the kernel's hang-up of the pty can fail instead
    // (EIO while the master's close has marked the other side closed and
    // the slave is not hung up yet), and the pump ends as on any read
    // failure.  Either way it must not spin.
    if (readWord(r.seg->t2aRunning) != 0) {
        ASSERT_TRUE(before && after);
        EXPECT_LT(*after - *before, 10u) << "ticks of CPU in half a second of a hung-up line";
    } else {
        EXPECT_NE(r.daemon.errors().find("(ttyI->audio) read: "), std::string::npos)
            << r.daemon.output() << r.daemon.errors();
    }
    EXPECT_EQ(readWord(r.seg->a2tRunning), 1u) << r.daemon.output() << r.daemon.errors();
    r.stop();
    EXPECT_EQ(slice(kit::readFile(r.inTape), 0, said.size()), said);
    EXPECT_EQ(slice(r.sound.played(), 0, said.size()), said);
}

// Answer mode: a response file that stops taking data, or cannot be
// created, and a greeting that cannot be opened or sent.
TEST(VoicePhoneFaults, AnswerModeFileFailures)
{
    {
        SCOPED_TRACE("response write fails");
        CallRun r(true);
        ASSERT_TRUE(r.start("call=fwrite,path=response.ul,after=100,count=1,errno=ENOSPC"));
        writeWord(r.seg->responseStart, 1);
        std::vector<uint8_t> caller = reliab::pattern(300, 91);
        ASSERT_TRUE(r.line.sendAudio(caller));
        ASSERT_TRUE(r.seg.waitFor(r.seg->errorFlag, 1));
        EXPECT_TRUE(r.daemon.waitForLine(t2a + "Error writing to response file " + r.response));
        EXPECT_EQ(readWord(r.seg->responseRecording), 0u);
        EXPECT_EQ(readWord(r.seg->responseDone), 0u);
        r.stop();
        EXPECT_EQ(kit::readFile(r.response), slice(caller, 0, 100));
    }
    {
        SCOPED_TRACE("response cannot be created");
        CallRun r(true);
        ASSERT_TRUE(r.start("call=open,path=response.ul,errno=EACCES"));
        writeWord(r.seg->responseStart, 1);
        ASSERT_TRUE(r.line.sendAudio(reliab::pattern(10, 92)));
        ASSERT_TRUE(r.seg.waitFor(r.seg->errorFlag, 1));
        EXPECT_EQ(readWord(r.seg->responseStart), 0u);
        EXPECT_EQ(readWord(r.seg->responseRecording), 0u);
        r.stop();
        EXPECT_EQ(r.daemon.errors(), t2a + "Can't open response file " + r.response + " for writing\n");
    }
    {
        SCOPED_TRACE("greeting cannot be opened");
        CallRun r(true);
        kit::writeFile(r.greeting, reliab::pattern(1000, 93));
        ASSERT_TRUE(r.start("call=open,path=greeting.ul,errno=EACCES"));
        writeWord(r.seg->messageStart, 1);
        ASSERT_TRUE(r.seg.waitFor(r.seg->errorFlag, 1));
        EXPECT_EQ(readWord(r.seg->messageStart), 0u);
        EXPECT_EQ(readWord(r.seg->messagePlaying), 0u);
        r.stop();
        EXPECT_EQ(r.daemon.errors(), a2t + "Can't open message file " + r.greeting + " for reading\n");
    }
    {
        SCOPED_TRACE("line refuses a greeting write");
        CallRun r(true);
        std::vector<uint8_t> greeting = reliab::pattern(8 * chunk, 94);
        kit::writeFile(r.greeting, greeting);
        ASSERT_TRUE(r.start("call=write," + r.ttyRule(2, "after=2,count=1,errno=EIO")));
        writeWord(r.seg->messageStart, 1);
        ASSERT_TRUE(r.seg.waitFor(r.seg->messageDone, 1));
        EXPECT_TRUE(r.daemon.waitForLine(a2t + "Failed to write to ttyI"));
        EXPECT_TRUE(r.line.waitForReceived(7 * chunk));
        r.stop();
        EXPECT_EQ(reliab::faultsFired(r.log), 1);
        // One chunk of the greeting is lost; the rest went out in order.
        std::vector<uint8_t> expected = slice(greeting, 0, 2 * chunk);
        std::vector<uint8_t> rest = slice(greeting, 3 * chunk, 5 * chunk);
        expected.insert(expected.end(), rest.begin(), rest.end());
        EXPECT_EQ(r.line.received(), expected);
    }
    {
        SCOPED_TRACE("the paced writer's select fails");
        CallRun r(true);
        std::vector<uint8_t> greeting = reliab::pattern(8 * chunk, 95);
        kit::writeFile(r.greeting, greeting);
        ASSERT_TRUE(r.start("call=select," + r.ttyRule(2, "count=5,errno=EINTR")));
        writeWord(r.seg->messageStart, 1);
        ASSERT_TRUE(r.seg.waitFor(r.seg->messageDone, 1));
        ASSERT_TRUE(r.line.waitForReceived(greeting.size()));
        r.stop();
        EXPECT_EQ(reliab::faultsFired(r.log), 5);
        EXPECT_EQ(r.line.received(), greeting) << "a failed select counts as readiness: nothing is lost";
        EXPECT_EQ(r.daemon.errors(), "");
    }
}

} // namespace
