// playback-daemon under injected faults: a fork that fails, a tape file that
// cannot be read or opened, a sound device that refuses every write or has
// gone away.  The daemon ends as its failure table says and never hangs.
#include <gtest/gtest.h>

#include "audio_io.h"
#include "playback_harness.h"
#include "reliability_kit.h"

namespace {

using namespace std::chrono_literals;

constexpr int chunk = 160;
using playtest::server;
using playtest::slave;

std::vector<uint8_t> mixed(const std::vector<uint8_t>& in, const std::vector<uint8_t>& out, size_t from, size_t count)
{
    std::vector<uint8_t> m;
    for (size_t i = from; i < from + count && i < in.size() && i < out.size(); ++i)
        m.push_back(linearToUlaw(ulawToLinear(in[i]) + ulawToLinear(out[i])));
    return m;
}

// A play of two 40-chunk tapes, with the fault library's log beside them.
struct PlaybackRun : playtest::Play {
    std::string log = dir / "faults.log";
    std::vector<uint8_t> in, out;

    PlaybackRun() : PlaybackRun(reliab::pattern(40 * chunk, 11), reliab::pattern(40 * chunk, 12)) {}
    PlaybackRun(std::vector<uint8_t> i, std::vector<uint8_t> o) : Play(i, o), in(std::move(i)), out(std::move(o))
    {
        writeWord(seg->ownerUid, getuid());
        writeWord(seg->ownerGid, getgid());
    }

    bool start(const std::string& rules)
    {
        return Play::start(chunk, rules.empty() ? std::vector<std::string>{} : reliab::faultEnv(rules, log));
    }

    void finish(int status = 0)
    {
        ASSERT_EQ(wait(), std::optional<int>(status)) << daemon.errors();
        EXPECT_TRUE(reliab::groupMembers(daemon.pid()).empty()) << "a worker outlived the server";
    }
};

TEST(PlaybackFaults, ForkFailurePrintsPidZeroAndRewinds)
{
    PlaybackRun r;
    writeWord(r.seg->tapePosition, 800);
    ASSERT_TRUE(r.start("call=fork,errno=ENOMEM"));
    r.finish();
    EXPECT_EQ(reliab::faultsFired(r.log), 1);
    EXPECT_NE(r.daemon.errors().find("playBack fork: Cannot allocate memory\n"), std::string::npos);
    std::string text = r.daemon.output();
    EXPECT_NE(text.find(server + "PID (audio playback) = 0\n"), std::string::npos) << text;
    EXPECT_NE(text.find(server + "Dying\n"), std::string::npos);
    EXPECT_EQ(text.find(slave), std::string::npos);
    EXPECT_EQ(readWord(r.seg->playRunning), 0u);
    EXPECT_EQ(readWord(r.seg->playFlags), FlagStarted | FlagActive);
    EXPECT_EQ(readWord(r.seg->tapePosition), 0u);
    EXPECT_EQ(r.sound.playedCount(), 0u);
}

// A read error on a tape file is reported and ends playing like the end of
// the tape, instead of empty passes until someone stops it.
TEST(PlaybackFaults, TapeReadErrorEndsPlayingWithErrorFlag)
{
    for (const char* file : {"in.tape", "out.tape"}) {
        SCOPED_TRACE(file);
        PlaybackRun r;
        ASSERT_TRUE(r.start(std::string("call=fread,errno=EIO,after=6,path=") + file));
        r.finish();
        EXPECT_EQ(reliab::faultsFired(r.log), 1);
        EXPECT_NE(r.daemon.errors().find(slave + "Error reading tape file " + (r.dir / file) + "\n"),
                  std::string::npos)
            << r.daemon.errors();
        EXPECT_EQ(readWord(r.seg->errorFlag), 1u);
        EXPECT_EQ(readWord(r.seg->playRunning), 0u);
        EXPECT_EQ(readWord(r.seg->tapePosition), 0u);
        // Six whole chunks were played before the failing read.
        ASSERT_TRUE(r.sound.waitForPlayed(6 * chunk));
        std::vector<uint8_t> played = r.sound.played();
        EXPECT_LE(played.size(), 7u * chunk);
        EXPECT_EQ(std::vector<uint8_t>(played.begin(), played.begin() + 6 * chunk), mixed(r.in, r.out, 0, 6 * chunk));
    }
}

// Failed and short device writes are not noticed: the tape runs through to
// its end and is rewound, and the daemon ends by itself.
TEST(PlaybackFaults, SoundDeviceRefusingWritesDoesNotHoldThePlay)
{
    for (const char* how : {"errno=EIO", "short=3"}) {
        SCOPED_TRACE(how);
        PlaybackRun r;
        ASSERT_TRUE(r.start("call=write,fd=" + std::to_string(r.sound.daemonFd()) + "," + how));
        r.finish();
        EXPECT_EQ(reliab::faultsFired(r.log), 40) << "one fault per chunk of the tape";
        EXPECT_EQ(readWord(r.seg->tapePosition), 0u);
        EXPECT_EQ(readWord(r.seg->errorFlag), 0u);
        EXPECT_NE(r.daemon.output().find(slave + "Dying\n"), std::string::npos);
    }
}

// A speaker that went away gives EPIPE, not a dead slave.
TEST(PlaybackFaults, ClosedSpeakerDoesNotKillTheDaemon)
{
    PlaybackRun r;
    int speaker[2];
    ASSERT_EQ(pipe(speaker), 0);
    close(speaker[0]);
    std::vector<std::string> args{sim::programPath("playback-daemon"), std::to_string(speaker[1]),
                                  std::to_string(chunk), std::to_string(r.seg.id())};
    ASSERT_TRUE(r.daemon.start(args[0], args, {speaker[1]}));
    close(speaker[1]);
    r.finish();
    EXPECT_EQ(r.daemon.termSignal(), 0);
    EXPECT_NE(r.daemon.output().find(slave + "Dying\n"), std::string::npos);
    EXPECT_EQ(readWord(r.seg->tapePosition), 0u);
}

TEST(PlaybackFaults, OutgoingTapeThatCannotBeOpenedEndsWithStatusOne)
{
    PlaybackRun r;
    ASSERT_TRUE(r.start("call=open,path=out.tape,errno=EACCES"));
    r.finish(1);
    EXPECT_EQ(r.daemon.errors(), server + "Can't open tape file " + r.outTape + " (outgoing)\n");
    EXPECT_NE(r.daemon.output().find(server + "Set owner of " + r.inTape), std::string::npos)
        << "the ingoing file was opened and handed over first";
    EXPECT_EQ(readWord(r.seg->errorFlag), 1u);
    EXPECT_EQ(readWord(r.seg->playRunning), 1u);
    EXPECT_EQ(readWord(r.seg->playFlags), FlagStartRequest);
}

} // namespace
