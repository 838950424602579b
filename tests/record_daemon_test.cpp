// record-daemon driven as the controlling application drives it: a pipe as
// the sound device, the record in shared memory, the tape file on disk.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "audio_io.h"
#include "record_harness.h"
#include "whole_file.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

using kit::readFile;
using kit::readText;

Bytes pattern(size_t count, unsigned seed)
{
    Bytes b(count);
    for (size_t i = 0; i < count; ++i)
        b[i] = static_cast<uint8_t>((i * 131 + seed * 17 + (i >> 8)) & 0xFF);
    return b;
}

bool hasLine(const std::vector<std::string>& lines, const std::string& text)
{
    for (const auto& l : lines)
        if (l == text)
            return true;
    return false;
}

using rectest::server;
using rectest::slave;

// The number on the PID line (the text names playback in this daemon too), or -1.
int slavePid(const std::vector<std::string>& out)
{
    const std::string head = server + "PID (audio playback) = ";
    for (const auto& l : out)
        if (l.rfind(head, 0) == 0)
            return std::atoi(l.c_str() + head.size());
    return -1;
}

class RecordDaemon : public ::testing::Test, protected rectest::Tape {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.path().empty());
        rectest::fillRecord(seg, tape);
        writeWord(seg->ownerUid, getuid());
        writeWord(seg->ownerGid, getgid());
    }

    // Feeds one chunk and waits until the slave has dealt with it.
    void takeChunk(sim::SoundDevice& sound, const Bytes& chunk)
    {
        uint32_t before = readWord(seg->outgoingPosition);
        sound.feed(chunk);
        ASSERT_TRUE(seg.waitUntil(
            [&] { return readWord(seg->outgoingPosition) != before || readWord(seg->tapeFull) != 0; }));
    }

    // A stop request as the application makes it; the slave, blocked in its
    // read, ends once the device has ended.
    void stopAndEnd(rectest::Recorder& r)
    {
        seg->recordFlags.fetch_or(FlagStopRequest);
        ASSERT_TRUE(seg.waitUntil([&] { return flagSet(seg->recordFlags, FlagStopped); }));
        r.sound.endSource();
        ASSERT_EQ(r.wait(), 0);
    }
};

TEST_F(RecordDaemon, WithoutStartRequestTruncatesTheFileAndEnds)
{
    {
        kit::writeText(tape, "an older tape");
    }
    writeWord(seg->recordFlags, 0);
    rectest::Recorder r;
    ASSERT_TRUE(r.start(seg, 160));
    ASSERT_EQ(r.wait(), 0);
    EXPECT_EQ(readText(tape), "");
    EXPECT_EQ(readWord(seg->recordRunning), 0u);
    auto lines = r.daemon.lines();
    EXPECT_EQ(slavePid(lines.out), -1);
    EXPECT_TRUE(hasLine(lines.out, server + "Set owner of " + tape + " to " + std::to_string(getuid()) + "." +
                                       std::to_string(getgid())));
    ASSERT_FALSE(lines.out.empty());
    EXPECT_EQ(lines.out.back(), server + "Dying");

    sim::DaemonProcess usage;
    ASSERT_TRUE(usage.start(sim::programPath("record-daemon"), {sim::programPath("record-daemon"), "1", "2"}, {}));
    EXPECT_EQ(usage.wait(), 0);
    EXPECT_EQ(usage.output(), "Orvex Record daemon - can only be invoked by Orvex itself\n\n");
}

TEST_F(RecordDaemon, TapeHoldsExactlyWhatWasTakenWhileActiveAndStopIsAcknowledged)
{
    writeWord(seg->outgoingPosition, 1000); // counts on from where the application left it
    rectest::Recorder r;
    ASSERT_TRUE(r.start(seg, 160));
    Bytes taken;
    for (unsigned i = 0; i < 20; ++i) {
        Bytes chunk = pattern(160, i);
        takeChunk(r.sound, chunk);
        taken.insert(taken.end(), chunk.begin(), chunk.end());
    }
    stopAndEnd(r);

    EXPECT_EQ(readFile(tape), taken);
    EXPECT_EQ(readWord(seg->recordFlags), FlagStarted | FlagStopped);
    EXPECT_EQ(readWord(seg->recordRunning), 0u);
    EXPECT_EQ(readWord(seg->outgoingPosition), 1000u + taken.size());
    EXPECT_EQ(readWord(seg->tapeLength), 1000u + taken.size());
    EXPECT_EQ(readWord(seg->tapePosition), 1000u + taken.size());
    auto lines = r.daemon.lines();
    EXPECT_GT(slavePid(lines.out), 0);
    EXPECT_TRUE(hasLine(lines.out, slave + "Dying"));
    EXPECT_EQ(lines.out.back(), server + "Dying");
}

TEST_F(RecordDaemon, EmptyReadWhileActiveWritesNothingButSetsThePositions)
{
    writeWord(seg->outgoingPosition, 700);
    rectest::Recorder r;
    r.sound.endSource();
    ASSERT_TRUE(r.start(seg, 160));
    ASSERT_TRUE(seg.waitFor(seg->tapeLength, 700));
    EXPECT_EQ(readWord(seg->tapePosition), 700u);
    stopAndEnd(r);
    EXPECT_EQ(readText(tape), "");
    EXPECT_EQ(readWord(seg->outgoingPosition), 700u);
}

// Each case feeds whole chunks of 160 bytes one at a time.
struct LimitCase {
    const char* name;
    uint32_t position, limit;
    unsigned chunks;       // fed
    uint32_t expectedFile; // bytes taped
    bool full;
};

TEST_F(RecordDaemon, TapeLimitTakesWholeChunksOnly)
{
    const LimitCase cases[] = {
        {"limit reached at start", 500, 500, 1, 0, true},
        {"chunk larger than the room", 0, 159, 1, 0, true},
        {"exactly the room, then full", 0, 320, 3, 320, true},
        {"part of a chunk would fit", 0, 300, 2, 160, true},
        {"position beyond the limit", 1000, 500, 3, 480, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeWord(seg->outgoingPosition, c.position);
        writeWord(seg->tapeLimit, c.limit);
        writeWord(seg->tapeFull, 0);
        writeWord(seg->recordFlags, FlagStartRequest);
        rectest::Recorder r;
        ASSERT_TRUE(r.start(seg, 160));
        for (unsigned i = 0; i < c.chunks; ++i)
            takeChunk(r.sound, pattern(160, i));
        if (c.full) {
            r.sound.endSource();
            ASSERT_EQ(r.wait(), 0);
            EXPECT_EQ(readWord(seg->tapeFull), 1u);
            EXPECT_EQ(readWord(seg->recordFlags), FlagStarted);
        } else {
            stopAndEnd(r);
            EXPECT_EQ(readWord(seg->tapeFull), 0u);
        }
        EXPECT_EQ(readFile(tape).size(), c.expectedFile);
        uint32_t end = c.position + c.expectedFile;
        EXPECT_EQ(readWord(seg->outgoingPosition), end);
        EXPECT_EQ(readWord(seg->tapeLength), end);
        EXPECT_EQ(readWord(seg->tapePosition), end);
    }
}

TEST_F(RecordDaemon, LinearSamplesAreTapedInTheCodecsMuLaw)
{
    writeWord(seg->wrapMode, WrapLinear16);
    rectest::Recorder r(WrapLinear16);
    Bytes device;
    Bytes expected;
    for (int s = -32768; s <= 32767; s += 41) {
        device.push_back(static_cast<uint8_t>(s & 0xFF));
        device.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
        expected.push_back(linearToUlaw(s));
    }
    expected.resize(expected.size() / 160 * 160);
    device.resize(expected.size() * 2);
    ASSERT_TRUE(r.start(seg, 160));
    r.sound.feedRaw(device);
    ASSERT_TRUE(seg.waitFor(seg->outgoingPosition, static_cast<uint32_t>(expected.size())));
    stopAndEnd(r);
    EXPECT_EQ(readFile(tape), expected);
}

TEST_F(RecordDaemon, FailuresEndTheRecordingWithTheirReason)
{
    {
        SCOPED_TRACE("unsupported wrap mode");
        writeWord(seg->wrapMode, 8);
        rectest::Recorder r;
        ASSERT_TRUE(r.start(seg, 160));
        ASSERT_EQ(r.wait(), 0);
        auto lines = r.daemon.lines();
        EXPECT_TRUE(hasLine(lines.err, "Wrap mode 8 not implemented"));
        EXPECT_TRUE(hasLine(lines.err, "record: Invalid argument"));
        EXPECT_FALSE(hasLine(lines.out, slave + "Dying"));
        EXPECT_EQ(readWord(seg->recordFlags), FlagStarted | FlagActive);
        EXPECT_EQ(readWord(seg->recordRunning), 0u);
    }
    {
        SCOPED_TRACE("tape file cannot be written");
        writeWord(seg->wrapMode, WrapUlaw);
        writeWord(seg->recordFlags, FlagStartRequest);
        writeWord(seg->outgoingPosition, 0);
        sim::Segment::setPath(seg->outgoingPath, "/dev/full");
        rectest::Recorder r;
        ASSERT_TRUE(r.start(seg, 160));
        r.sound.feed(pattern(160, 1));
        r.sound.endSource();
        ASSERT_EQ(r.wait(), 0);
        EXPECT_EQ(readWord(seg->errorFlag), 1u);
        EXPECT_EQ(readWord(seg->recordFlags), FlagStarted);
        EXPECT_EQ(readWord(seg->outgoingPosition), 0u);
        EXPECT_TRUE(hasLine(r.daemon.lines().err, slave + "Error writing to file /dev/full"));
    }
    {
        SCOPED_TRACE("tape file cannot be opened");
        writeWord(seg->recordFlags, FlagStartRequest);
        std::string missing = dir / "no/such/dir";
        sim::Segment::setPath(seg->outgoingPath, missing);
        rectest::Recorder r;
        ASSERT_TRUE(r.start(seg, 160));
        EXPECT_EQ(r.wait(), 1);
        EXPECT_EQ(r.daemon.errors(), server + "Can't open tape file " + missing + " (outgoing)\n");
        EXPECT_EQ(readWord(seg->errorFlag), 1u);
        EXPECT_EQ(readWord(seg->recordRunning), 1u);
        EXPECT_EQ(readWord(seg->recordFlags), FlagStartRequest);
    }
}

} // namespace
