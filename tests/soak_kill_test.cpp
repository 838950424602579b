// A worker killed with SIGKILL in the middle of taping: the tape file holds
// every chunk counted into the positions before the kill, byte for byte,
// and at most the one chunk in flight beyond them.  The kill comes either at
// a moment the test picks, or exactly in a chosen write (the fault library
// raises SIGKILL there).  The rest of the daemon still ends cleanly.
#include <csignal>
#include <gtest/gtest.h>

#include "line.h"
#include "record_harness.h"
#include "reliability_kit.h"

namespace {

using namespace std::chrono_literals;
using kit::ScratchDir;

constexpr int chunk = 160;

// Everything counted is in the file; beyond it at most the chunk that was
// being written when the kill came.
void expectCountedTaped(const std::string& path, uint32_t counted, const std::vector<uint8_t>& crossed,
                        size_t chunk = ::chunk)
{
    std::vector<uint8_t> tape = kit::readFile(path);
    ASSERT_GE(tape.size(), counted) << "a counted chunk is missing from the file";
    EXPECT_LE(tape.size(), counted + chunk);
    size_t differ = 0;
    while (differ < tape.size() && differ < crossed.size() && tape[differ] == crossed[differ])
        ++differ;
    EXPECT_EQ(differ, tape.size()) << "the file holds bytes that never crossed: " << tape.size() << " bytes, "
                                   << counted << " counted";
}

struct Recording : rectest::Recording {
    std::vector<uint8_t> fed = reliab::pattern(4000 * chunk, 77);

    bool start(const std::vector<std::string>& env = {})
    {
        sound.feed(fed);
        return rectest::Recording::start(chunk, env) && daemon.waitForLine("PID (audio playback) = ");
    }

    void stop()
    {
        writeWord(seg->recordFlags, readWord(seg->recordFlags) | FlagStopRequest);
        ASSERT_EQ(wait(), std::optional<int>(0));
        EXPECT_TRUE(reliab::groupMembers(daemon.pid()).empty());
    }
};

TEST(KillWhileTaping, RecordSlaveAtAnyMoment)
{
    for (int delayMs : {1, 3, 7, 15, 30}) {
        SCOPED_TRACE("killed after " + std::to_string(delayMs) + " ms");
        Recording r;
        ASSERT_TRUE(r.start());
        pid_t slave = reliab::pidAfter(r.daemon.output(), "PID (audio playback) = ");
        ASSERT_GT(slave, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        ASSERT_EQ(kill(slave, SIGKILL), 0);
        ASSERT_TRUE(reliab::waitEnded(slave, 10s)) << "the killed slave gone"; // nothing moves any more
        uint32_t counted = readWord(r.seg->outgoingPosition);
        r.stop();
        expectCountedTaped(r.tape, counted, r.fed);
        EXPECT_EQ(readWord(r.seg->outgoingPosition), counted);
    }
}

TEST(KillWhileTaping, RecordSlaveInsideAWrite)
{
    ScratchDir logs;
    Recording r;
    ASSERT_TRUE(r.start(reliab::faultEnv("call=fwrite,path=out.tape,in=1,after=50,signal=9", logs / "log")));
    ASSERT_TRUE(r.seg.waitUntil([&] { return reliab::faultsFired(logs / "log") == 1; }, 10s)) << "the kill in a write";
    pid_t slave = reliab::pidAfter(r.daemon.output(), "PID (audio playback) = ");
    ASSERT_TRUE(reliab::waitEnded(slave, 10s)) << "the killed slave gone";
    uint32_t counted = readWord(r.seg->outgoingPosition);
    r.stop();
    std::vector<uint8_t> tape = kit::readFile(r.tape);
    EXPECT_EQ(tape.size(), counted) << "the kill came before the 51st write stored anything";
    expectCountedTaped(r.tape, counted, r.fed);
}

// The outgoing tape takes whole chunks even after a short read; chunks that
// divide the stand-in's 8192-byte blocks keep every read whole, so every
// taped byte is one that crossed.
constexpr int wholeReadChunk = 256;

struct Call {
    explicit Call(int chunkSize = chunk) : chunkSize(chunkSize) {}
    int chunkSize;
    ScratchDir dir;
    std::string inTape = dir / "in.tape";
    std::string outTape = dir / "out.tape";
    sim::Segment seg;
    sim::Line line;
    sim::SoundDevice sound;
    sim::DaemonProcess daemon;
    pid_t t2a = 0, a2t = 0;

    bool start(const std::vector<std::string>& env = {})
    {
        kit::writeFile(inTape, {});
        kit::writeFile(outTape, {});
        sim::Segment::setPath(seg->ingoingPath, inTape);
        sim::Segment::setPath(seg->outgoingPath, outTape);
        writeWord(seg->ownerUid, getuid());
        writeWord(seg->ownerGid, getgid());
        writeWord(seg->wrapMode, 1);
        writeWord(seg->tapeLimit, 0xFFFFFFFF);
        if (!sim::startVoicePhone(daemon, line, sound, chunkSize, seg, env))
            return false;
        line.closeDaemonEnd();
        sound.closeDaemonEnd();
        if (!seg.waitFor(seg->phoneUp, 1) || !daemon.waitForLine("PID (ttyI -> audio)"))
            return false;
        t2a = reliab::pidAfter(daemon.output(), "PID (ttyI -> audio) = ");
        a2t = reliab::pidAfter(daemon.output(), "PID (audio -> ttyI) = ");
        seg->recordFlags.fetch_or(FlagStartRequest);
        return seg.waitUntil([&] { return flagSet(seg->recordFlags, FlagActive); });
    }

    void stop()
    {
        writeWord(seg->stopRequest, 1);
        ASSERT_EQ(daemon.wait(5s), std::optional<int>(0));
        EXPECT_TRUE(reliab::groupMembers(daemon.pid()).empty());
    }
};

TEST(KillWhileTaping, VoicePhonePumpsAtAnyMoment)
{
    for (int piecesBeforeKill : {3, 11, 40}) {
        {
            SCOPED_TRACE("ttyI-to-audio pump killed after " + std::to_string(piecesBeforeKill) + " pieces");
            Call c;
            ASSERT_TRUE(c.start());
            std::vector<uint8_t> said = reliab::pattern(100 * 8000, 5);
            constexpr size_t piece = 4000;
            for (int i = 0; i < piecesBeforeKill; ++i)
                ASSERT_TRUE(c.line.sendAudio(std::span(said).subspan(i * piece, piece)));
            // Taping under way, and more arriving while the kill comes.
            ASSERT_TRUE(c.seg.waitUntil([&] { return readWord(c.seg->ingoingPosition) > 0; }));
            ASSERT_TRUE(c.line.sendAudio(std::span(said).subspan(piecesBeforeKill * piece, piece)));
            ASSERT_EQ(kill(c.t2a, SIGKILL), 0);
            ASSERT_TRUE(reliab::waitEnded(c.t2a, 10s)) << "the killed ttyI-to-audio pump gone";
            uint32_t counted = readWord(c.seg->ingoingPosition);
            EXPECT_GT(counted, 0u);
            c.stop();
            expectCountedTaped(c.inTape, counted, said);
        }
        {
            SCOPED_TRACE("audio-to-ttyI pump killed after " + std::to_string(piecesBeforeKill) + " ms");
            Call c(wholeReadChunk);
            ASSERT_TRUE(c.start());
            std::vector<uint8_t> fed = reliab::pattern(100 * 8192, 6);
            c.sound.feed(fed);
            ASSERT_TRUE(c.seg.waitUntil([&] { return readWord(c.seg->outgoingPosition) > 0; }));
            std::this_thread::sleep_for(std::chrono::milliseconds(piecesBeforeKill));
            ASSERT_EQ(kill(c.a2t, SIGKILL), 0);
            ASSERT_TRUE(reliab::waitEnded(c.a2t, 10s)) << "the killed audio-to-ttyI pump gone";
            uint32_t counted = readWord(c.seg->outgoingPosition);
            c.stop();
            expectCountedTaped(c.outTape, counted, fed, wholeReadChunk);
        }
    }
}

TEST(KillWhileTaping, VoicePhonePumpInsideAWrite)
{
    ScratchDir logs;
    Call c;
    ASSERT_TRUE(c.start(reliab::faultEnv("call=fwrite,path=in.tape,in=1,after=20,signal=9", logs / "log")));
    std::vector<uint8_t> said = reliab::pattern(40 * chunk, 8);
    ASSERT_TRUE(c.line.sendAudio(said));
    ASSERT_TRUE(c.seg.waitUntil([&] { return reliab::faultsFired(logs / "log") == 1; }, 10s)) << "the kill in a write";
    ASSERT_TRUE(reliab::waitEnded(c.t2a, 10s)) << "the killed ttyI-to-audio pump gone";
    EXPECT_EQ(readWord(c.seg->ingoingPosition), 20u * chunk);
    c.stop();
    EXPECT_EQ(kit::readFile(c.inTape), std::vector<uint8_t>(said.begin(), said.begin() + 20 * chunk));
}

} // namespace
