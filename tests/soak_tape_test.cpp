// An hour of tape through the record daemon and back through the playback
// daemon, as fast as the stand-ins go: every byte recorded is what the sound
// device gave, every byte played is the mix of the two files, and server
// and slave hold as many descriptors and as much private memory near the
// end as early on.
#include <cstdlib>
#include <gtest/gtest.h>

#include "audio_io.h"
#include "playback_harness.h"
#include "record_harness.h"
#include "reliability_kit.h"

namespace {

using namespace std::chrono_literals;
using kit::ScratchDir;

constexpr int chunk = 1024;

#if defined(__SANITIZE_ADDRESS__)
constexpr long memorySlackKb = 256;
#else
// Pages first touched late (a longer read than before, a stdio buffer) may
// add a few; a leak per chunk over an hour of audio would add megabytes.
constexpr long memorySlackKb = 128;
#endif

size_t tapeBytes()
{
    const char* text = getenv("ORVEX_SOAK_SECONDS");
    long seconds = text ? atol(text) : 3600;
    return static_cast<size_t>(seconds < 10 ? 10 : seconds) * 8000;
}

struct Usage {
    int descriptors;
    long privateKb;
};

Usage usageOf(pid_t pid)
{
    return {reliab::descriptorCount(pid), reliab::privateKb(pid)};
}

void expectSteady(const char* who, const Usage& early, const Usage& late)
{
    SCOPED_TRACE(who);
    EXPECT_EQ(late.descriptors, early.descriptors);
    EXPECT_GE(early.privateKb, 0);
    EXPECT_LE(late.privateKb - early.privateKb, memorySlackKb);
    printf("%s: descriptors %d -> %d, private %ld kB -> %ld kB\n", who, early.descriptors, late.descriptors,
           early.privateKb, late.privateKb);
}

TEST(SoakTape, AnHourRecordedAndPlayedBack)
{
    const size_t bytes = tapeBytes() / chunk * chunk;
    ScratchDir dir;
    std::vector<uint8_t> spoken = reliab::pattern(bytes, 101);

    // Record.
    {
        sim::Segment seg;
        rectest::fillRecord(seg, dir / "out.tape");
        rectest::Recorder r;
        r.sound.feed(spoken);
        sim::DaemonProcess& d = r.daemon;
        auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(r.start(seg, chunk));
        ASSERT_TRUE(d.waitForLine("PID (audio playback) = "));
        pid_t slave = reliab::pidAfter(d.output(), "PID (audio playback) = ");
        ASSERT_GT(slave, 0);
        ASSERT_TRUE(seg.waitUntil([&] { return readWord(seg->outgoingPosition) >= bytes / 20; }, 30s));
        Usage serverEarly = usageOf(d.pid()), slaveEarly = usageOf(slave);
        ASSERT_TRUE(seg.waitUntil([&] { return readWord(seg->outgoingPosition) >= bytes - bytes / 20; }, 120s));
        Usage serverLate = usageOf(d.pid()), slaveLate = usageOf(slave);
        ASSERT_TRUE(seg.waitFor(seg->outgoingPosition, static_cast<uint32_t>(bytes), 30s));
        writeWord(seg->recordFlags, readWord(seg->recordFlags) | FlagStopRequest);
        r.sound.endSource();
        ASSERT_EQ(r.wait(), std::optional<int>(0));
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(d.errors(), "");
        EXPECT_TRUE(kit::readFile(dir / "out.tape") == spoken) << "the recorded tape differs";
        expectSteady("record server", serverEarly, serverLate);
        expectSteady("record slave", slaveEarly, slaveLate);
        printf("recorded %zu s of audio in %.1f s\n", bytes / 8000, seconds);
    }

    // Play it back, mixed with an ingoing side.
    {
        std::vector<uint8_t> remote = reliab::pattern(bytes, 102);
        kit::writeFile(dir / "in.tape", remote);
        sim::Segment seg;
        playtest::fillRecord(seg, dir / "in.tape", dir / "out.tape");
        playtest::Player p;
        sim::SoundDevice& sound = p.sound;
        sim::DaemonProcess& d = p.daemon;
        auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(p.start(seg, chunk));
        ASSERT_TRUE(d.waitForLine("PID (audio playback) = "));
        pid_t slave = reliab::pidAfter(d.output(), "PID (audio playback) = ");
        ASSERT_GT(slave, 0);
        ASSERT_TRUE(sound.waitForPlayed(bytes / 20, 30s));
        Usage serverEarly = usageOf(d.pid()), slaveEarly = usageOf(slave);
        ASSERT_TRUE(sound.waitForPlayed(bytes - bytes / 20, 120s));
        Usage serverLate = usageOf(d.pid()), slaveLate = usageOf(slave);
        ASSERT_EQ(d.wait(30s), std::optional<int>(0));
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(d.errors(), "");
        EXPECT_EQ(readWord(seg->tapePosition), 0u) << "the end of the tape rewinds";
        std::vector<uint8_t> played = sound.played();
        ASSERT_EQ(played.size(), bytes);
        size_t wrong = 0;
        for (size_t i = 0; i < bytes; ++i)
            wrong += played[i] != linearToUlaw(ulawToLinear(remote[i]) + ulawToLinear(spoken[i]));
        EXPECT_EQ(wrong, 0u) << "played bytes that are not the mix";
        if (slaveLate.descriptors > 0) { // the slave may have ended just before the late look
            expectSteady("playback server", serverEarly, serverLate);
            expectSteady("playback slave", slaveEarly, slaveLate);
        }
        printf("played %zu s of tape in %.1f s\n", bytes / 8000, seconds);
    }
}

} // namespace
