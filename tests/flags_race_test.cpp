// The application flips bits of a flag word in a tight loop while the
// daemons acknowledge starts and stops and clear FlagActive in the same
// word.  No update may be lost on either side: every bit the application
// flipped has the value its flips give, and every start or stop the daemon
// carried out shows in the word.
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

#include "line.h"
#include "playback_harness.h"
#include "record_harness.h"
#include "reliability_kit.h"
#include "voicephone_harness.h"

namespace {

using namespace std::chrono_literals;
using kit::ScratchDir;

constexpr int chunk = 160;
// Bits no daemon owns: the three spare bits of the flag byte and some of
// the word above it, which a daemon must carry through untouched.
constexpr uint32_t spareBits[] = {0x20, 0x40, 0x80, 0x100, 0x8000, 0x10000, 0x80000000};
constexpr uint32_t daemonBits = FlagStartRequest | FlagStarted | FlagActive | FlagStopRequest | FlagStopped;

// Flips the spare bits of `word` one after another, as fast as it can, until
// stopped, and knows what they must hold afterwards.
class Flipper {
public:
    explicit Flipper(Word& word) : word_(word), thread_([this] { run(); }) {}
    ~Flipper() { stop(); }

    void stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    uint32_t expected() const
    {
        uint32_t v = 0;
        for (size_t i = 0; i < std::size(spareBits); ++i)
            if (flips_[i] % 2)
                v |= spareBits[i];
        return v;
    }
    uint64_t flips() const
    {
        uint64_t n = 0;
        for (uint64_t f : flips_)
            n += f;
        return n;
    }

private:
    void run()
    {
        for (size_t i = 0; !stop_; i = (i + 1) % std::size(spareBits)) {
            word_.fetch_xor(spareBits[i]);
            ++flips_[i];
            if (i == 0)
                std::this_thread::yield(); // leave the daemons some of the machine
        }
    }

    Word& word_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> flips_[std::size(spareBits)] = {};
    std::thread thread_;
};

uint32_t spare(uint32_t word)
{
    return word & ~daemonBits;
}

// Taping started and stopped over and over in a call whose pumps also end
// taping by themselves at a small tape limit.
TEST(FlagRaces, VoicePhoneTapingHandshakesUnderFlips)
{
    ScratchDir dir;
    kit::writeFile(dir / "in.tape", {});
    kit::writeFile(dir / "out.tape", {});
    sim::Segment seg;
    sim::Segment::setPath(seg->ingoingPath, dir / "in.tape");
    sim::Segment::setPath(seg->outgoingPath, dir / "out.tape");
    writeWord(seg->ownerUid, getuid());
    writeWord(seg->ownerGid, getgid());
    writeWord(seg->wrapMode, 1);
    writeWord(seg->tapeLimit, 6 * chunk);
    voicetest::Phone phone;
    ASSERT_TRUE(phone.start(seg, chunk)); // recordFlags is cleared before this

    // Both sides talk until the test ends, also through a line that took
    // nothing for a while on a busy machine (a send gives up after 5 s).
    std::atomic<bool> talking{true};
    std::thread far([&] {
        std::vector<uint8_t> audio = reliab::pattern(4 * chunk);
        while (talking) {
            if (phone.line.sendAudio(audio))
                phone.sound.feed(audio);
        }
    });
    struct JoinAtEnd {
        std::atomic<bool>& talking;
        std::thread& far;
        ~JoinAtEnd() // also when an assertion leaves the test early
        {
            talking = false;
            far.join();
        }
    } joinAtEnd{talking, far};
    int starts = 0, stops = 0, fulls = 0;
    {
        Flipper flipper(seg->recordFlags);
        // At least 60 rounds, and on until the application's flips have
        // run beside them long enough to count (a busy machine gives the
        // flipper less of itself), within 20 s.
        auto deadline = std::chrono::steady_clock::now() + 20s;
        for (int cycle = 0; cycle < 60 || (flipper.flips() <= 10000 && std::chrono::steady_clock::now() < deadline);
             ++cycle) {
            seg->recordFlags.fetch_or(FlagStartRequest);
            ASSERT_TRUE(seg.waitUntil([&] { return !flagSet(seg->recordFlags, FlagStartRequest); })) << cycle;
            ASSERT_TRUE(flagSet(seg->recordFlags, FlagStarted)) << "a start was lost, cycle " << cycle;
            ++starts;
            if (cycle % 2) {
                // Let the tape fill: a pump clears FlagActive.
                ASSERT_TRUE(seg.waitUntil([&] { return !flagSet(seg->recordFlags, FlagActive); })) << cycle;
                EXPECT_EQ(readWord(seg->tapeFull), 1u);
                ++fulls;
            } else {
                seg->recordFlags.fetch_or(FlagStopRequest);
                ASSERT_TRUE(seg.waitUntil([&] { return !flagSet(seg->recordFlags, FlagStopRequest); })) << cycle;
                ASSERT_TRUE(flagSet(seg->recordFlags, FlagStopped)) << "a stop was lost, cycle " << cycle;
                ASSERT_FALSE(flagSet(seg->recordFlags, FlagActive));
                ++stops;
            }
            // The application takes the outcome and rewinds for the next round.
            seg->recordFlags.fetch_and(~(FlagStarted | FlagStopped));
            writeWord(seg->tapeFull, 0);
            writeWord(seg->rewindRequest, 1);
            ASSERT_TRUE(seg.waitFor(seg->rewindRequest, 0));
        }
        flipper.stop();
        EXPECT_EQ(spare(readWord(seg->recordFlags)), flipper.expected())
            << "a flip of the application was lost among " << flipper.flips();
        EXPECT_GT(flipper.flips(), 10000u);
    }
    writeWord(seg->stopRequest, 1);
    EXPECT_EQ(phone.daemon.wait(10s), std::optional<int>(0));
    EXPECT_EQ(readWord(seg->recordFlags) & daemonBits, 0u);
    EXPECT_GE(starts, 60);
    EXPECT_EQ(stops + fulls, starts);
}

// One start and one stop per run of the record and the playback daemons,
// while the spare bits are flipped; the record slave may end taping at the
// limit at the same moment as the stop request.
TEST(FlagRaces, RecordAndPlaybackHandshakesUnderFlips)
{
    for (int run = 0; run < 20; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        {
            rectest::Recording r(WrapUlaw, (run % 4 + 1) * chunk);
            sim::Segment& seg = r.seg;
            r.sound.feed(reliab::pattern(100 * chunk));
            Flipper flipper(seg->recordFlags);
            ASSERT_TRUE(r.start(chunk));
            ASSERT_TRUE(seg.waitUntil([&] { return flagSet(seg->recordFlags, FlagStarted); }));
            seg->recordFlags.fetch_or(FlagStopRequest);
            r.sound.endSource();
            ASSERT_EQ(r.wait(), std::optional<int>(0));
            flipper.stop();
            uint32_t flags = readWord(seg->recordFlags);
            EXPECT_EQ(spare(flags), flipper.expected());
            uint32_t own = flags & daemonBits;
            // Stopped by the request, or ended at the limit before the server saw it.
            if (own == (FlagStarted | FlagStopRequest)) {
                EXPECT_EQ(readWord(seg->tapeFull), 1u);
            } else {
                EXPECT_EQ(own, FlagStarted | FlagStopped);
            }
        }
        {
            playtest::Play p(reliab::pattern(400 * chunk), reliab::pattern(400 * chunk, 2));
            sim::Segment& seg = p.seg;
            Flipper flipper(seg->playFlags);
            ASSERT_TRUE(p.start(chunk));
            ASSERT_TRUE(seg.waitUntil([&] { return flagSet(seg->playFlags, FlagStarted); }));
            seg->playFlags.fetch_or(FlagStopRequest);
            ASSERT_EQ(p.wait(), std::optional<int>(0));
            flipper.stop();
            uint32_t flags = readWord(seg->playFlags);
            EXPECT_EQ(spare(flags), flipper.expected());
            // The tape may have ended before the stop request was seen.
            uint32_t own = flags & daemonBits;
            EXPECT_TRUE(own == (FlagStarted | FlagStopped) || own == (FlagStarted | FlagActive | FlagStopRequest))
                << std::hex << flags;
        }
    }
}

} // namespace
