// playback-daemon driven as the controlling application drives it: the tape
// files on disk, the record in shared memory, a pipe as the speaker.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "audio_io.h"
#include "playback_harness.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

using playtest::server;
using playtest::slave;

using kit::writeFile;

Bytes pattern(size_t count, unsigned seed)
{
    Bytes b(count);
    for (size_t i = 0; i < count; ++i)
        b[i] = static_cast<uint8_t>((i * 97 + seed * 29 + (i >> 7)) & 0xFF);
    return b;
}

// What the speaker must get: the codec's sum of the two sides, from `from`
// to the end of the shorter file.
Bytes mixed(const Bytes& in, const Bytes& out, size_t from)
{
    Bytes m;
    for (size_t i = from; i < in.size() && i < out.size(); ++i)
        m.push_back(linearToUlaw(ulawToLinear(in[i]) + ulawToLinear(out[i])));
    return m;
}

bool hasLine(const std::vector<std::string>& lines, const std::string& text)
{
    for (const auto& l : lines)
        if (l == text)
            return true;
    return false;
}

bool mentions(const std::vector<std::string>& lines, const std::string& text)
{
    for (const auto& l : lines)
        if (l.find(text) != std::string::npos)
            return true;
    return false;
}

// Everything a pipe gives until its last writer has gone.
Bytes drain(int fd)
{
    Bytes all;
    uint8_t buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return all;
        all.insert(all.end(), buffer, buffer + n);
    }
}

class PlaybackDaemon : public ::testing::Test, protected playtest::Tapes {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.path().empty());
        playtest::fillRecord(seg, inTape, outTape);
        writeWord(seg->ownerUid, getuid());
        writeWord(seg->ownerGid, getgid());
    }

    void writeTape(const Bytes& in, const Bytes& out)
    {
        writeFile(inTape, in);
        writeFile(outTape, out);
    }

    // Plays to the sound-device stand-in, drained as fast as played; what
    // the daemon wrote may reach the stand-in after the daemon has ended.
    Bytes play(playtest::Player& p, size_t expectedCount, int expectedStatus = 0)
    {
        EXPECT_TRUE(p.start(seg, 160));
        EXPECT_EQ(p.wait(), expectedStatus);
        if (expectedCount == 0)
            EXPECT_FALSE(p.sound.waitForPlayed(1, 50ms));
        else
            p.sound.waitForPlayed(expectedCount);
        return p.sound.played();
    }

    // Plays to a pipe that nobody reads yet: the slave blocks once it is full.
    int startBlocked(sim::DaemonProcess& d)
    {
        int p[2];
        EXPECT_EQ(pipe2(p, O_CLOEXEC), 0);
        std::string program = sim::programPath("playback-daemon");
        EXPECT_TRUE(d.start(program, {program, std::to_string(p[1]), "160", std::to_string(seg.id())}, {p[1]}));
        close(p[1]);
        return p[0];
    }
};

TEST_F(PlaybackDaemon, MixedPlayIsTheCodecsSumAndEndsAtTheShorterFileRewound)
{
    Bytes in(256, 0xFF), out;                 // silence against every code,
    for (int i = 0; i < 256; ++i)
        out.push_back(static_cast<uint8_t>(i));
    for (int i = 0; i < 16; ++i) {            // loud sums of both signs that clip,
        in.push_back(static_cast<uint8_t>(0x80 + i));
        out.push_back(static_cast<uint8_t>(0x80 + (i * 5) % 16));
        in.push_back(static_cast<uint8_t>(i));
        out.push_back(static_cast<uint8_t>((i * 3) % 16));
    }
    Bytes rest = pattern(3000, 1), restOut = pattern(3500, 2); // and the outgoing file longer
    in.insert(in.end(), rest.begin(), rest.end());
    out.insert(out.end(), restOut.begin(), restOut.end());
    writeTape(in, out);

    playtest::Player d;
    Bytes expected = mixed(in, out, 0);
    Bytes played = play(d, expected.size());
    EXPECT_EQ(played, expected);
    ASSERT_GE(played.size(), 256u);
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(played[i], i == 0x7F ? 0xFF : i == 0x00 ? 0x02 : i) << i;
    EXPECT_EQ(readWord(seg->tapePosition), 0u);
    EXPECT_EQ(readWord(seg->playFlags), FlagStarted | FlagActive);
    EXPECT_EQ(readWord(seg->playRunning), 0u);
    auto lines = d.daemon.lines();
    ASSERT_FALSE(lines.out.empty());
    EXPECT_EQ(lines.out.front(), server + "Version 1.0.0 (build 2)");
    EXPECT_TRUE(mentions(lines.out, server + "PID (audio playback) = "));
    EXPECT_TRUE(hasLine(lines.out, slave + "Dying"));
    EXPECT_EQ(lines.out.back(), server + "Dying");
}

TEST_F(PlaybackDaemon, OutgoingAlonePlaysItsFileUnchangedFromTheStart)
{
    Bytes out = pattern(2000, 3);
    writeFile(outTape, out); // no ingoing file at all
    writeWord(seg->outgoingOnly, 1);
    writeWord(seg->tapePosition, 999);
    playtest::Player d;
    EXPECT_EQ(play(d, out.size()), out);
    EXPECT_EQ(readWord(seg->tapePosition), 0u);
    auto lines = d.daemon.lines();
    EXPECT_FALSE(mentions(lines.out, inTape));
    EXPECT_FALSE(mentions(lines.err, inTape));
}

TEST_F(PlaybackDaemon, StartAtOrBeyondTheEndPlaysNothingAndRewinds)
{
    writeTape(pattern(1000, 4), pattern(1200, 5));
    for (uint32_t start : {1000u, 5000u}) {
        SCOPED_TRACE(start);
        writeWord(seg->playFlags, FlagStartRequest);
        writeWord(seg->tapePosition, start);
        playtest::Player d;
        EXPECT_TRUE(play(d, 0).empty());
        EXPECT_EQ(readWord(seg->tapePosition), 0u);
    }
}

TEST_F(PlaybackDaemon, StopKeepsThePositionOfEverythingPlayedAndTheNextStartResumes)
{
    const uint32_t start = 1000;
    Bytes in = pattern(200000, 6), out = pattern(200000, 7);
    writeTape(in, out);
    Bytes expected = mixed(in, out, 0);
    writeWord(seg->tapePosition, start);

    sim::DaemonProcess first;
    int speaker = startBlocked(first);
    ASSERT_TRUE(seg.waitUntil([&] { return readWord(seg->tapePosition) >= start + 32768; }));
    seg->playFlags.fetch_or(FlagStopRequest);
    ASSERT_TRUE(seg.waitUntil([&] { return flagSet(seg->playFlags, FlagStopped); }));
    Bytes played = drain(speaker);
    close(speaker);
    ASSERT_EQ(first.wait(), 0);
    EXPECT_EQ(readWord(seg->playFlags), FlagStarted | FlagStopped);
    EXPECT_EQ(readWord(seg->playRunning), 0u);
    ASSERT_EQ(readWord(seg->tapePosition), start + played.size());
    ASSERT_LT(start + played.size(), expected.size());

    writeWord(seg->playFlags, FlagStartRequest);
    playtest::Player second;
    Bytes resumed = play(second, expected.size() - readWord(seg->tapePosition));
    played.insert(played.end(), resumed.begin(), resumed.end());
    EXPECT_EQ(played, Bytes(expected.begin() + start, expected.end()));
    EXPECT_EQ(readWord(seg->tapePosition), 0u);
}

TEST_F(PlaybackDaemon, ApplicationEndingPlayMidTapeAlwaysLeavesPositionZero)
{
    writeTape(pattern(200000, 8), pattern(200000, 9));
    for (bool clearActive : {true, false}) {
        for (int round = 0; round < 3; ++round) {
            SCOPED_TRACE(clearActive ? "FlagActive cleared" : "playRunning cleared");
            writeWord(seg->playFlags, FlagStartRequest);
            writeWord(seg->tapePosition, 0);
            sim::DaemonProcess d;
            int speaker = startBlocked(d);
            ASSERT_TRUE(seg.waitUntil([&] { return readWord(seg->tapePosition) >= 32768; }));
            if (clearActive)
                seg->playFlags.fetch_and(~FlagActive);
            else
                writeWord(seg->playRunning, 0);
            // The server reacts while the slave is still blocked mid-chunk:
            // that chunk must not count after the rewind.
            ASSERT_TRUE(seg.waitFor(seg->playRunning, 0, 10s)) << "the server ending the slave";
            drain(speaker);
            close(speaker);
            ASSERT_EQ(d.wait(), 0);
            EXPECT_EQ(readWord(seg->tapePosition), 0u);
            EXPECT_EQ(readWord(seg->playFlags), clearActive ? FlagStarted : FlagStarted | FlagActive);
        }
    }
}

TEST_F(PlaybackDaemon, EndsWithoutPlayingWhenNotAskedOrAFileIsMissing)
{
    const std::string owner = " to " + std::to_string(getuid()) + "." + std::to_string(getgid());
    writeTape(pattern(1000, 10), pattern(1000, 11));
    {
        SCOPED_TRACE("no start request");
        writeWord(seg->playFlags, 0);
        writeWord(seg->tapePosition, 1234);
        playtest::Player d;
        EXPECT_TRUE(play(d, 0).empty());
        EXPECT_EQ(readWord(seg->tapePosition), 1234u);
        EXPECT_EQ(readWord(seg->playRunning), 0u);
        auto lines = d.daemon.lines();
        EXPECT_TRUE(hasLine(lines.out, server + "Set owner of " + inTape + owner));
        EXPECT_TRUE(hasLine(lines.out, server + "Set owner of " + outTape + owner));
        EXPECT_FALSE(mentions(lines.out, "PID"));
    }
    const std::string missing = dir / "missing.ul";
    for (bool ingoingMissing : {true, false}) {
        SCOPED_TRACE(ingoingMissing ? "ingoing missing" : "outgoing missing");
        writeWord(seg->playFlags, FlagStartRequest);
        sim::Segment::setPath(seg->ingoingPath, ingoingMissing ? missing : inTape);
        sim::Segment::setPath(seg->outgoingPath, ingoingMissing ? outTape : missing);
        playtest::Player d;
        EXPECT_TRUE(play(d, 0, 1).empty());
        EXPECT_EQ(d.daemon.errors(),
                  server + "Can't open tape file " + missing + (ingoingMissing ? " (ingoing)\n" : " (outgoing)\n"));
        EXPECT_EQ(readWord(seg->errorFlag), 1u);
        EXPECT_EQ(readWord(seg->playRunning), 1u);
        // The outgoing file is only opened after the ingoing one.
        EXPECT_FALSE(mentions(d.daemon.lines().out, outTape));
        EXPECT_EQ(mentions(d.daemon.lines().out, inTape), !ingoingMissing);
    }

    sim::DaemonProcess usage;
    std::string program = sim::programPath("playback-daemon");
    ASSERT_TRUE(usage.start(program, {program, "1", "2", "3", "4"}, {}));
    EXPECT_EQ(usage.wait(), 0);
    EXPECT_EQ(usage.output(), "Orvex Playback daemon - can only be invoked by Orvex itself\n\n");
}

TEST_F(PlaybackDaemon, UnreadableTapeFileEndsPlayWithAnError)
{
    writeFile(outTape, pattern(1000, 12));
    sim::Segment::setPath(seg->ingoingPath, dir.path()); // opens, but every read fails
    writeWord(seg->tapePosition, 0);
    playtest::Player d;
    EXPECT_TRUE(play(d, 0).empty());
    EXPECT_EQ(readWord(seg->errorFlag), 1u);
    EXPECT_EQ(readWord(seg->tapePosition), 0u);
    EXPECT_TRUE(hasLine(d.daemon.lines().err, slave + "Error reading tape file " + dir.path()));
    EXPECT_TRUE(hasLine(d.daemon.lines().out, slave + "Dying"));
}

} // namespace
