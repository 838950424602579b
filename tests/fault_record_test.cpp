// record-daemon under injected faults: a fork that fails, a tape file that
// stops taking data (failed, short, or a full disk), a sound device that
// fails or keeps answering EAGAIN.  In every case the daemon ends as the
// record daemon's failure table says, with everything taped before the fault
// intact and no worker left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "audio_io.h"

#include "record_harness.h"
#include "reliability_kit.h"

namespace {

using namespace std::chrono_literals;

constexpr int chunk = 160;
using rectest::server;
using rectest::slave;

// A recording with no limit, with the fault library's log beside the tape.
struct RecordRun : rectest::Recording {
    std::string log = dir / "faults.log";

    RecordRun()
    {
        writeWord(seg->ownerUid, getuid());
        writeWord(seg->ownerGid, getgid());
    }

    bool start(const std::string& rules)
    {
        return Recording::start(chunk, rules.empty() ? std::vector<std::string>{} : reliab::faultEnv(rules, log));
    }

    std::string soundRule(const std::string& rest) const
    {
        return "call=read,fd=" + std::to_string(sound.daemonFd()) + ",in=1," + rest;
    }

    // Ends the daemon, checks its status and that it waited for its slave.
    void finish(int status = 0)
    {
        ASSERT_EQ(wait(), std::optional<int>(status)) << daemon.errors();
        EXPECT_TRUE(reliab::groupMembers(daemon.pid()).empty()) << "a worker outlived the server";
    }
};

// Everything counted into outgoingPosition is in the file, byte for byte,
// from the first byte fed, and nothing else: part of a chunk that a full
// disk took does not stay behind.
void expectTapedPrefix(RecordRun& r, const std::vector<uint8_t>& fed)
{
    uint32_t position = readWord(r.seg->outgoingPosition);
    std::vector<uint8_t> tape = kit::readFile(r.tape);
    ASSERT_EQ(tape.size(), position);
    EXPECT_TRUE(reliab::startsWith(fed, tape, position)) << "taped bytes differ from what was fed";
    EXPECT_EQ(readWord(r.seg->tapeLength), position);
    EXPECT_EQ(readWord(r.seg->tapePosition), position);
}

TEST(RecordFaults, ForkFailureEndsNormallyWithAnEmptyTape)
{
    RecordRun r;
    kit::writeFile(r.tape, reliab::pattern(999)); // truncated all the same
    ASSERT_TRUE(r.start("call=fork,errno=EAGAIN"));
    r.finish();
    EXPECT_EQ(reliab::faultsFired(r.log), 1);
    EXPECT_NE(r.daemon.errors().find("record fork: Resource temporarily unavailable\n"), std::string::npos);
    std::string out = r.daemon.output();
    EXPECT_NE(out.find(server + "PID (audio playback) = 0\n"), std::string::npos) << out;
    EXPECT_NE(out.find(server + "Dying\n"), std::string::npos);
    EXPECT_EQ(out.find(slave), std::string::npos);
    EXPECT_EQ(readWord(r.seg->recordRunning), 0u);
    EXPECT_EQ(readWord(r.seg->recordFlags), FlagStarted | FlagActive);
    EXPECT_EQ(kit::readFile(r.tape).size(), 0u);
}

// A failed write and a short one end taping the same way: errorFlag before
// FlagActive goes off, the message, no position advanced for that chunk.
TEST(RecordFaults, TapeWriteFailingOrShortStopsTapingAndKeepsWhatWasTaped)
{
    for (const char* how : {"errno=ENOSPC", "short=37,errno=ENOSPC"}) {
        SCOPED_TRACE(how);
        RecordRun r;
        std::vector<uint8_t> fed = reliab::pattern(64 * chunk, 7);
        r.sound.feed(fed);
        r.sound.endSource();
        ASSERT_TRUE(r.start(std::string("call=fwrite,path=out.tape,after=20,count=1,") + how));
        r.finish();
        EXPECT_EQ(reliab::faultsFired(r.log), 1);
        EXPECT_NE(r.daemon.errors().find(slave + "Error writing to file " + r.tape + "\n"), std::string::npos)
            << r.daemon.errors();
        EXPECT_EQ(readWord(r.seg->errorFlag), 1u);
        EXPECT_EQ(readWord(r.seg->recordFlags), FlagStarted) << "FlagActive cleared, nothing else";
        EXPECT_EQ(readWord(r.seg->tapeFull), 0u);
        EXPECT_EQ(readWord(r.seg->recordRunning), 0u);
        EXPECT_GT(readWord(r.seg->outgoingPosition), 0u);
        expectTapedPrefix(r, fed);
        EXPECT_NE(r.daemon.output().find(slave + "Dying\n"), std::string::npos);
    }
}

// A disk that fills up: the file size limit makes the write fail with EFBIG
// instead of killing the slave with SIGXFSZ.
TEST(RecordFaults, FullDiskIsAFailedWriteNotADeath)
{
    RecordRun r;
    std::vector<uint8_t> fed = reliab::pattern(200 * chunk, 3);
    r.sound.feed(fed);
    r.sound.endSource();
    constexpr rlim_t limit = 50 * chunk + 77;
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit small = old;
    small.rlim_cur = limit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool started = r.start("");
    setrlimit(RLIMIT_FSIZE, &old);
    ASSERT_TRUE(started);
    r.finish();
    EXPECT_EQ(r.daemon.termSignal(), 0);
    EXPECT_NE(r.daemon.errors().find(slave + "Error writing to file " + r.tape + "\n"), std::string::npos);
    EXPECT_EQ(readWord(r.seg->errorFlag), 1u);
    EXPECT_EQ(readWord(r.seg->recordFlags), FlagStarted);
    EXPECT_LE(readWord(r.seg->outgoingPosition), limit);
    EXPECT_GT(readWord(r.seg->outgoingPosition), limit - 2 * chunk);
    expectTapedPrefix(r, fed);
}

TEST(RecordFaults, SoundDeviceReadErrorEndsTheSlaveWithoutDying)
{
    RecordRun r;
    std::vector<uint8_t> fed = reliab::pattern(40 * chunk, 5);
    r.sound.feed(fed);
    ASSERT_TRUE(r.start(r.soundRule("after=10,errno=EIO")));
    r.finish();
    EXPECT_EQ(reliab::faultsFired(r.log), 1);
    EXPECT_NE(r.daemon.errors().find("record: Input/output error\n"), std::string::npos) << r.daemon.errors();
    std::string out = r.daemon.output();
    EXPECT_EQ(out.find(slave + "Dying"), std::string::npos);
    EXPECT_NE(out.find(server + "Dying\n"), std::string::npos);
    EXPECT_EQ(readWord(r.seg->recordRunning), 0u);
    EXPECT_EQ(readWord(r.seg->recordFlags), FlagStarted | FlagActive);
    EXPECT_EQ(readWord(r.seg->errorFlag), 0u);
    expectTapedPrefix(r, fed);
}

// Thousands of EAGAIN answers in a row are retried at once and lose nothing.
TEST(RecordFaults, EagainStormLosesNoAudio)
{
    RecordRun r;
    std::vector<uint8_t> fed = reliab::pattern(100 * chunk, 9);
    r.sound.feed(fed);
    ASSERT_TRUE(r.start(r.soundRule("after=5,count=20000,errno=EAGAIN")));
    ASSERT_TRUE(r.seg.waitUntil([&] { return readWord(r.seg->outgoingPosition) == fed.size(); }, 10s))
        << readWord(r.seg->outgoingPosition);
    writeWord(r.seg->recordFlags, readWord(r.seg->recordFlags) | FlagStopRequest);
    r.sound.endSource();
    r.finish();
    EXPECT_EQ(reliab::faultsFired(r.log), 20000);
    EXPECT_EQ(r.daemon.errors(), "");
    EXPECT_EQ(readWord(r.seg->recordFlags), FlagStarted | FlagStopped);
    EXPECT_EQ(kit::readFile(r.tape), fed);
}

TEST(RecordFaults, TapeThatCannotBeCreatedEndsWithStatusOne)
{
    RecordRun r;
    ASSERT_TRUE(r.start("call=open,path=out.tape,errno=EACCES"));
    r.finish(1);
    EXPECT_EQ(r.daemon.errors(), server + "Can't open tape file " + r.tape + " (outgoing)\n");
    EXPECT_EQ(readWord(r.seg->errorFlag), 1u);
    EXPECT_EQ(readWord(r.seg->recordRunning), 1u) << "left at 1 on this way out";
    EXPECT_EQ(readWord(r.seg->recordFlags), FlagStartRequest) << "nothing was started";
}

// A tape someone deletes or cuts while recording: the data would go to an
// inode nobody can reach, or behind a hole of 0x00 bytes (full-scale noise).
TEST(RecordFaults, ATapeDeletedOrCutWhileRecordingStopsTapingWithItsReason)
{
    for (bool deleted : {true, false}) {
        SCOPED_TRACE(deleted ? "deleted" : "cut");
        RecordRun r;
        ASSERT_TRUE(r.start(""));
        std::vector<uint8_t> fed = reliab::pattern(40 * chunk, 8);
        r.sound.setPaced(true);
        r.sound.feed(fed);
        ASSERT_TRUE(r.seg.waitUntil([&] { return readWord(r.seg->outgoingPosition) >= 4 * chunk; }, 10s));
        int changed = deleted ? unlink(r.tape.c_str()) : truncate(r.tape.c_str(), chunk);
        ASSERT_EQ(changed, 0);
        ASSERT_TRUE(r.seg.waitUntil([&] { return !flagSet(r.seg->recordFlags, FlagActive); }, 10s));
        EXPECT_EQ(readWord(r.seg->errorFlag), 1u);
        EXPECT_EQ(readWord(r.seg->tapeFull), 0u);
        r.finish();
        EXPECT_EQ(r.daemon.errors(), slave + "Tape file " + r.tape + (deleted ? " was deleted\n" : " was cut short\n"));
        if (!deleted) {
            EXPECT_EQ(kit::readFile(r.tape).size(), static_cast<size_t>(chunk)) << "a hole was written";
        }
    }
}

// 16-bit samples arriving in pieces of an odd number of bytes: the byte left
// over waits for its other half, so every sample is taped whole.
TEST(RecordFaults, OddPiecesOfSixteenBitSamplesAreTapedWhole)
{
    rectest::Tape t;
    sim::Segment& seg = t.seg;
    rectest::fillRecord(seg, t.tape, WrapLinear16);
    writeWord(seg->ownerUid, getuid());
    writeWord(seg->ownerGid, getgid());
    int mic[2];
    ASSERT_EQ(pipe2(mic, O_CLOEXEC), 0);
    sim::DaemonProcess d;
    std::vector<std::string> args{sim::programPath("record-daemon"), std::to_string(mic[0]), "1024",
                                  std::to_string(seg.id())};
    ASSERT_TRUE(d.start(args.front(), args, {mic[0]}));
    close(mic[0]);

    std::vector<uint8_t> spoken = reliab::pattern(161 * 20, 9); // µ-law, then as 16-bit samples
    std::vector<uint8_t> raw(2 * spoken.size());
    for (size_t i = 0; i < spoken.size(); ++i) {
        auto s = static_cast<uint16_t>(ulawToLinear(spoken[i]));
        raw[2 * i] = static_cast<uint8_t>(s & 0xFF);
        raw[2 * i + 1] = static_cast<uint8_t>(s >> 8);
    }
    for (size_t at = 0; at < raw.size(); at += 161) {
        size_t n = std::min<size_t>(161, raw.size() - at);
        ASSERT_EQ(write(mic[1], raw.data() + at, n), static_cast<ssize_t>(n));
        // One piece at a time: each read the slave makes ends inside a sample.
        ASSERT_TRUE(seg.waitUntil(
            [&] {
                int queued = 0;
                return ioctl(mic[1], FIONREAD, &queued) == 0 && queued == 0;
            },
            10s));
    }
    ASSERT_TRUE(seg.waitFor(seg->outgoingPosition, static_cast<uint32_t>(spoken.size()), 10s));
    seg->recordFlags.fetch_or(FlagStopRequest);
    close(mic[1]);
    ASSERT_EQ(d.wait(10s), std::optional<int>(0)) << d.errors();
    std::vector<uint8_t> taped = kit::readFile(t.tape);
    ASSERT_EQ(taped.size(), spoken.size());
    size_t wrong = 0;
    for (size_t i = 0; i < spoken.size(); ++i)
        wrong += linearToUlaw(ulawToLinear(spoken[i])) != taped[i];
    EXPECT_EQ(wrong, 0u) << "samples taped from split bytes";
}

} // namespace
