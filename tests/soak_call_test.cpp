// A long call, fed as fast as the stand-ins go: audio in both directions,
// taping switched on and off every few simulated seconds, tape commands
// between.  Every tape byte must be what crossed while taping was on, at
// the position the record named; the daemon's processes must hold as many
// descriptors and as much private memory at the end as after start-up.
//
// An hour of audio each way by default (about 20 s here);
// ORVEX_SOAK_SECONDS changes it, scripts/soak.sh runs longer calls.
#include <cstdlib>
#include <gtest/gtest.h>

#include "daemon_process.h"
#include "line.h"
#include "reliability_kit.h"
#include "segment.h"
#include "sound_device.h"

namespace {

using namespace std::chrono_literals;
using kit::ScratchDir;

// The outgoing tape takes whole chunks, also after a short read (its tail
// then repeats the cycle before).  The stand-in writes the sound device in
// blocks of 8192 bytes; with chunks and segments that divide into those
// blocks every read is whole, and every tape byte is one that crossed.
constexpr int chunk = 1024;                // 128 ms
constexpr size_t segmentBytes = 5 * 8192;  // 5.12 s between two switches of taping

// The sanitizers keep their own books in the daemon's memory.
#if defined(__SANITIZE_ADDRESS__)
constexpr long memorySlackKb = 256;
#else
// Pages first touched late (a longer read than before, a stdio buffer) may
// add a few; a leak per chunk over an hour of audio would add megabytes.
constexpr long memorySlackKb = 128;
#endif

struct Usage {
    int descriptors;
    long privateKb;
};

// The tape as it must be: what was taped, where the positions said.
struct TapeModel {
    std::vector<uint8_t> in, out;
    uint32_t length = 0;

    void tape(std::vector<uint8_t>& file, uint32_t at, const std::vector<uint8_t>& bytes)
    {
        if (file.size() < at + bytes.size())
            file.resize(at + bytes.size());
        std::copy(bytes.begin(), bytes.end(), file.begin() + at);
    }
};

uint32_t soakSeconds()
{
    const char* text = getenv("ORVEX_SOAK_SECONDS");
    long v = text ? atol(text) : 3600;
    return static_cast<uint32_t>(v < 10 ? 10 : v);
}

TEST(Soak, LongCallWithTapingSwitchedAndTapeCommands)
{
    const uint32_t seconds = soakSeconds();
    ScratchDir dir;
    kit::writeFile(dir / "in.tape", {});
    kit::writeFile(dir / "out.tape", {});
    sim::Segment seg;
    sim::Segment::setPath(seg->ingoingPath, dir / "in.tape");
    sim::Segment::setPath(seg->outgoingPath, dir / "out.tape");
    writeWord(seg->ownerUid, getuid());
    writeWord(seg->ownerGid, getgid());
    writeWord(seg->wrapMode, 1);
    writeWord(seg->tapeLimit, 0xFFFFFFFF);
    sim::Line line;
    sim::SoundDevice sound;
    sim::DaemonProcess daemon;
    ASSERT_TRUE(sim::startVoicePhone(daemon, line, sound, chunk, seg));
    line.closeDaemonEnd();
    sound.closeDaemonEnd();
    ASSERT_TRUE(seg.waitFor(seg->phoneUp, 1));
    ASSERT_TRUE(daemon.waitForLine("PID (ttyI -> audio)")); // printed just after phoneUp
    std::string pidLine = daemon.output();
    std::vector<pid_t> pids{daemon.pid(), reliab::pidAfter(pidLine, "PID (ttyI -> audio) = "),
                            reliab::pidAfter(pidLine, "PID (audio -> ttyI) = ")};
    ASSERT_GT(pids[1], 0);
    ASSERT_GT(pids[2], 0);
    auto usage = [&] {
        std::vector<Usage> u;
        for (pid_t p : pids)
            u.push_back({reliab::descriptorCount(p), reliab::privateKb(p)});
        return u;
    };

    TapeModel model;
    std::vector<Usage> afterStart;
    size_t sentDown = 0, fedUp = 0, touchtones = 0;
    auto start = std::chrono::steady_clock::now();
    const uint32_t segments = static_cast<uint32_t>(uint64_t{seconds} * 8000 / segmentBytes);
    for (uint32_t s = 0; s < segments; ++s) {
        bool taping = s % 2 == 0;
        if (taping) {
            seg->recordFlags.fetch_or(FlagStartRequest);
            ASSERT_TRUE(seg.waitUntil([&] { return flagSet(seg->recordFlags, FlagActive); }));
        } else {
            seg->recordFlags.fetch_or(FlagStopRequest);
            ASSERT_TRUE(seg.waitUntil([&] { return flagSet(seg->recordFlags, FlagStopped); }));
            EXPECT_FALSE(flagSet(seg->recordFlags, FlagActive));
            seg->recordFlags.fetch_and(~(FlagStarted | FlagStopped));
        }
        uint32_t at = readWord(seg->ingoingPosition);
        ASSERT_EQ(readWord(seg->outgoingPosition), at);
        std::vector<uint8_t> down = reliab::pattern(segmentBytes, 2 * s + 1);
        std::vector<uint8_t> up = reliab::pattern(segmentBytes, 2 * s + 2);
        ASSERT_TRUE(line.sendAudio(down));
        // The microphone runs ahead of a real line only by what the line
        // holds: what the line cannot take is dropped, as live audio is.
        // Fed unpaced, one pty's worth at a time keeps every byte.
        for (size_t piece = 0; piece < up.size(); piece += 8192) {
            size_t n = std::min<size_t>(8192, up.size() - piece);
            sound.feed(std::span<const uint8_t>(up.data() + piece, n));
            ASSERT_TRUE(line.waitForReceived(fedUp + piece + n, 10s))
                << "segment " << s << ": the line got " << line.receivedCount() - fedUp << " of the "
                << piece + n << " bytes fed up so far, " << sound.pendingFeed() << " not yet taken from the device";
        }
        ASSERT_TRUE(line.waitTaken(10s));
        ASSERT_TRUE(sound.waitFedOut(10s));
        sentDown += down.size();
        fedUp += up.size();
        if (taping) {
            ASSERT_TRUE(seg.waitFor(seg->ingoingPosition, at + segmentBytes, 10s)) << "segment " << s;
            ASSERT_TRUE(seg.waitFor(seg->outgoingPosition, at + segmentBytes, 10s)) << "segment " << s;
            model.tape(model.in, at, down);
            model.tape(model.out, at, up);
            model.length = std::max(model.length, at + static_cast<uint32_t>(segmentBytes));
            EXPECT_EQ(readWord(seg->tapeLength), model.length);
            EXPECT_EQ(readWord(seg->tapePosition), at + segmentBytes);
        } else {
            // Both pumps must have handed on their last bytes, and be past
            // their look at the taping flag, before taping resumes.  A pty
            // may still hold bytes it does not count as unread, so a
            // touchtone sent behind the audio marks the end of what the
            // ttyI-to-audio pump has decoded.
            ASSERT_TRUE(line.sendCode('1'));
            ++touchtones;
            ASSERT_TRUE(seg.waitUntil([&] { return reliab::countLines(daemon.output(), "Touchtone '1'") == touchtones; },
                                      10s))
                << "touchtone " << touchtones << " after segment " << s << ", the daemon printed "
                << reliab::countLines(daemon.output(), "Touchtone '1'");
            ASSERT_TRUE(line.waitForReceived(fedUp, 10s)) << "segment " << s << " on the line";
            ASSERT_TRUE(seg.waitUntil([&] { return reliab::asleep(pids[2]); }, 10s))
                << "the audio-to-ttyI pump back in its wait after segment " << s;
            EXPECT_EQ(readWord(seg->ingoingPosition), at);
            // A tape command, served while taping is off.
            uint32_t expected = 0;
            switch (s / 2 % 4) {
            case 0:
                writeWord(seg->skipBack, 3);
                ASSERT_TRUE(seg.waitFor(seg->skipBack, 0));
                expected = at > 24000 ? at - 24000 : 0;
                break;
            case 1:
                writeWord(seg->rewindRequest, 1);
                ASSERT_TRUE(seg.waitFor(seg->rewindRequest, 0));
                expected = 0;
                break;
            case 2:
                writeWord(seg->skipForward, 7);
                ASSERT_TRUE(seg.waitFor(seg->skipForward, 0));
                expected = std::min(at + 56000, model.length);
                break;
            case 3:
                writeWord(seg->endRequest, 1);
                ASSERT_TRUE(seg.waitFor(seg->endRequest, 0));
                expected = model.length;
                break;
            }
            ASSERT_TRUE(seg.waitFor(seg->ingoingPosition, expected));
            EXPECT_EQ(readWord(seg->outgoingPosition), expected);
            EXPECT_EQ(readWord(seg->tapePosition), expected);
        }
        if (s == 3)
            afterStart = usage(); // every path of the loop has run once
    }
    auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::vector<Usage> atEnd = usage();
    ASSERT_TRUE(line.waitForReceived(fedUp, 10s));

    writeWord(seg->stopRequest, 1);
    ASSERT_EQ(daemon.wait(10s), std::optional<int>(0));
    EXPECT_EQ(daemon.errors(), "");

    // The two directions crossed whole, and the tape holds what was taped.
    EXPECT_TRUE(line.received().size() == fedUp) << line.received().size();
    EXPECT_EQ(kit::readFile(dir / "in.tape"), model.in);
    EXPECT_EQ(kit::readFile(dir / "out.tape"), model.out);

    const char* names[] = {"supervisor", "t2a pump", "a2t pump"};
    for (size_t i = 0; i < pids.size(); ++i) {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(atEnd[i].descriptors, afterStart[i].descriptors);
        EXPECT_GE(afterStart[i].privateKb, 0);
        EXPECT_LE(atEnd[i].privateKb - afterStart[i].privateKb, memorySlackKb) << "private memory grew";
        RecordProperty(std::string(names[i]) + " fds", std::to_string(afterStart[i].descriptors) + "->" +
                                                           std::to_string(atEnd[i].descriptors));
        RecordProperty(std::string(names[i]) + " private kB", std::to_string(afterStart[i].privateKb) + "->" +
                                                                 std::to_string(atEnd[i].privateKb));
        printf("%s: descriptors %d -> %d, private %ld kB -> %ld kB\n", names[i], afterStart[i].descriptors,
               atEnd[i].descriptors, afterStart[i].privateKb, atEnd[i].privateKb);
    }
    printf("%zu s of audio each way (%zu bytes down, %zu up) in %.1f s, tape %u bytes\n", fedUp / 8000, sentDown,
           fedUp, elapsed, model.length);
}

} // namespace
