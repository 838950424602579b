// The audio-to-ttyI pump of voicephone-daemon: the sound device to the line
// with DLE doubling, DTMF tones, the outgoing tape, and the greeting in
// answer mode.
#include <cstring>

#include <atomic>
#include <thread>

#include "reliability_kit.h"
#include "voicephone_harness.h"

namespace voicetest {
namespace {

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes toneOf(const ControlBlock& cb) { return Bytes(cb.dtmfTone, cb.dtmfTone + dtmfToneSize); }

// Counts the raw line bytes the far end got.
size_t rawCount(const Call& call) { return call.line.receivedRaw().size(); }

TEST(AudioToTty, DoublesDleOnTheLineAndTapesUndoubled)
{
    Call call;
    call.makeTape({}, {});
    ControlBlock& cb = call.cb();
    ASSERT_TRUE(call.start(160));
    writeWord(cb.recordFlags, FlagStartRequest);
    ASSERT_TRUE(call.waitFor(cb.recordFlags, FlagStarted | FlagActive));

    const Bytes allDle(160, 0x10);
    const Bytes oneDle = audio(80, 1) + Bytes{0x10} + audio(79, 2);
    call.sound.feed(allDle);
    ASSERT_TRUE(call.waitFor(cb.outgoingPosition, 160));
    call.sound.feed(oneDle);
    ASSERT_TRUE(call.waitFor(cb.outgoingPosition, 320));
    ASSERT_TRUE(call.line.waitForReceived(320));
    EXPECT_EQ(rawCount(call), 320u + 161u);
    EXPECT_EQ(call.line.received(), allDle + oneDle);
    EXPECT_EQ(call.line.strayCodes(), 0u);

    // While holdAudio is set the device is still read, but nothing reaches the
    // line or the tape.  The pump has dealt with the held audio once it has
    // taken all of it and sleeps again, waiting for more; only then may
    // holdAudio go off.
    ASSERT_TRUE(call.daemon.waitForLine("PID (audio -> ttyI) = "));
    pid_t pump = reliab::pidAfter(call.daemon.output(), "PID (audio -> ttyI) = ");
    ASSERT_GT(pump, 0);
    writeWord(cb.holdAudio, 1);
    call.sound.feed(audio(480, 3));
    ASSERT_TRUE(call.sound.waitFedOut());
    ASSERT_TRUE(call.seg.waitUntil([&] { return reliab::asleep(pump); })) << "the pump asleep after the held audio";
    EXPECT_EQ(readWord(cb.outgoingPosition), 320u);
    EXPECT_EQ(call.line.receivedCount(), 320u);
    writeWord(cb.holdAudio, 0);

    // Tape limit: exactly a chunk of room is taped, then the tape is full.
    writeWord(cb.tapeLimit, 480);
    const Bytes last = audio(160, 4);
    call.sound.feed(last);
    ASSERT_TRUE(call.waitFor(cb.outgoingPosition, 480));
    call.sound.feed(audio(160, 5));
    ASSERT_TRUE(call.waitFor(cb.tapeFull, 1));
    EXPECT_EQ(readWord(cb.recordFlags), FlagStarted);
    EXPECT_EQ(readWord(cb.tapePosition), 0u); // the ingoing side has nothing yet
    EXPECT_TRUE(call.line.waitForReceived(640));
    EXPECT_EQ(call.stop(), 0);
    EXPECT_EQ(readFile(call.outgoingPath), allDle + oneDle + last);
}

// Waits until the supervisor has rendered the key's tone, then feeds audio
// the pump reads in full chunks (it is all in the socket before the first read).
void sendKey(Call& call, char key, const Bytes& local)
{
    writeByte(call.cb().dtmfKey, static_cast<uint8_t>(key));
    ASSERT_TRUE(call.waitFor(call.cb().dtmfPending, 1));
    call.sound.feed(local);
}

TEST(AudioToTty, ToneTakesThirteenChunksOf160AndIsTaped)
{
    Call call;
    call.makeTape({}, {});
    ControlBlock& cb = call.cb();
    ASSERT_TRUE(call.start(160));
    writeWord(cb.recordFlags, FlagStartRequest);
    ASSERT_TRUE(call.waitFor(cb.recordFlags, FlagStarted | FlagActive));

    // No audio for a while: nothing to lay the tone over, so it waits whole.
    writeByte(cb.dtmfKey, '1');
    ASSERT_TRUE(call.waitFor(cb.dtmfPending, 1));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(readWord(cb.dtmfPending), 1u);
    EXPECT_EQ(call.line.receivedCount(), 0u);

    const Bytes local = audio(13 * 160, 1);
    call.sound.feed(local);
    ASSERT_TRUE(call.waitFor(cb.dtmfPending, 0));
    EXPECT_EQ(readByte(cb.dtmfKey), 0);
    ASSERT_TRUE(call.line.waitForReceived(local.size()));
    const Bytes expected = toneOf(cb) + slice(local, 2000, 80);
    EXPECT_EQ(call.line.received(), expected);
    ASSERT_TRUE(call.waitFor(cb.outgoingPosition, 13 * 160));
    EXPECT_EQ(call.stop(), 0);
    EXPECT_EQ(readFile(call.outgoingPath), expected);
}

TEST(AudioToTty, ToneFitsOneChunkOf2000AndHoldAudioStillConsumesIt)
{
    Call call;
    call.makeTape({}, {});
    ControlBlock& cb = call.cb();
    ASSERT_TRUE(call.start(2000));
    const Bytes local = audio(2000, 1);
    sendKey(call, '#', local);
    ASSERT_TRUE(call.waitFor(cb.dtmfPending, 0));
    ASSERT_TRUE(call.line.waitForReceived(2000));
    EXPECT_EQ(call.line.received(), toneOf(cb));

    writeWord(cb.holdAudio, 1);
    sendKey(call, '0', audio(2000, 2));
    ASSERT_TRUE(call.waitFor(cb.dtmfPending, 0));
    EXPECT_EQ(readByte(cb.dtmfKey), 0);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(call.line.receivedCount(), 2000u);
    EXPECT_EQ(call.stop(), 0);
}

// Answer mode: the greeting goes down the line, paced by the line.
class Greeting : public ::testing::Test {
protected:
    void SetUp() override
    {
        writeWord(cb.answerMode, 1);
        writeWord(cb.audioFd, static_cast<uint32_t>(call.sound.daemonFd()));
    }

    bool start() { return call.start(400); }

    void play(const Bytes& greeting)
    {
        writeFile(call.messagePath, greeting);
        writeWord(cb.messageDone, 0);
        writeWord(cb.messageStart, 1);
        ASSERT_TRUE(call.waitFor(cb.messageDone, 1));
        EXPECT_EQ(readWord(cb.messagePlaying), 0u);
        EXPECT_EQ(readWord(cb.messageStart), 0u);
    }

    Call call;
    ControlBlock& cb = call.cb();
};

TEST_F(Greeting, PlaysWholeFilesDoubledAndUntouchedByTapeOrTones)
{
    writeWord(cb.skipBack, 2);
    writeWord(cb.rewindRequest, 1);
    ASSERT_TRUE(start());
    writeWord(cb.recordFlags, FlagStartRequest);
    writeByte(cb.dtmfKey, '3');
    ASSERT_TRUE(call.waitFor(cb.dtmfPending, 1));

    const Bytes g1000 = audio(500, 1) + Bytes(3, 0x10) + audio(497, 2);
    play(g1000);
    const Bytes g800 = audio(800, 3);
    play(g800);
    ASSERT_TRUE(call.line.waitForReceived(1800));
    EXPECT_EQ(call.line.received(), g1000 + g800);
    EXPECT_EQ(rawCount(call), 1803u);

    // The first key was rendered, but no tone goes out in answer mode; tape
    // commands and taping requests are not served.
    EXPECT_EQ(readWord(cb.dtmfPending), 1u);
    EXPECT_EQ(readWord(cb.skipBack), 2u);
    EXPECT_EQ(readWord(cb.rewindRequest), 1u);
    EXPECT_EQ(readWord(cb.recordFlags), FlagStartRequest);
    EXPECT_EQ(call.stop(), 0);
    EXPECT_EQ(call.sound.playedCount(), 0u);
    Lines lines = call.daemon.lines();
    EXPECT_EQ(lines.out[1], std::string(supervisorPrefix) + "Running in answer mode");
    EXPECT_EQ(lines.out[2], std::string(supervisorPrefix) + "Closing the audio device in this process...success");
    EXPECT_EQ(lines.err, std::vector<std::string>{});
    EXPECT_EQ(access(call.ingoingPath.c_str(), F_OK), -1); // the tape is never touched
}

TEST_F(Greeting, StartAndStopRequestsCombine)
{
    writeWord(cb.audioFd, 0);
    ASSERT_TRUE(start());
    writeFile(call.messagePath, audio(4000));

    // Start and stop together: opened and closed in one cycle, nothing sent.
    writeWord(cb.messageStop, 1);
    writeWord(cb.messageStart, 1);
    ASSERT_TRUE(call.waitFor(cb.messageDone, 1));
    EXPECT_EQ(readWord(cb.messageStart), 0u);
    EXPECT_EQ(readWord(cb.messageStop), 0u);

    // A stop with nothing playing stays set and ends the next greeting at once.
    writeWord(cb.messageDone, 0);
    writeWord(cb.messageStop, 1);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(readWord(cb.messageStop), 1u);
    writeWord(cb.messageStart, 1);
    ASSERT_TRUE(call.waitFor(cb.messageDone, 1));
    EXPECT_EQ(readWord(cb.messageStop), 0u);

    // A start while the response file is recorded waits for its end.
    writeWord(cb.messageDone, 0);
    writeWord(cb.responseStart, 1);
    ASSERT_TRUE(call.line.sendAudio(audio(10)));
    ASSERT_TRUE(call.waitFor(cb.responseRecording, 1));
    writeWord(cb.messageStart, 1);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(readWord(cb.messageStart), 1u);
    writeWord(cb.responseStop, 1);
    ASSERT_TRUE(call.line.sendAudio(audio(1)));
    ASSERT_TRUE(call.waitFor(cb.messageDone, 1)); // played out after the recording
    ASSERT_TRUE(call.line.waitForReceived(4000));
    EXPECT_EQ(call.line.received(), audio(4000));

    // A greeting that cannot be opened.
    writeWord(cb.errorFlag, 0);
    sim::Segment::setPath(cb.messagePath, call.dir / "none.ul");
    writeWord(cb.messageStart, 1);
    ASSERT_TRUE(call.waitFor(cb.errorFlag, 1));
    EXPECT_EQ(readWord(cb.messageStart), 0u);
    EXPECT_EQ(readWord(cb.messagePlaying), 0u);
    EXPECT_EQ(call.stop(), 0);
    Lines lines = call.daemon.lines();
    EXPECT_EQ(lines.out[1], std::string(supervisorPrefix) + "Running in answer mode");
    EXPECT_EQ(lines.out[2].find("Closing"), std::string::npos);
    EXPECT_EQ(lines.err, std::vector<std::string>{std::string(a2tPrefix) + "Can't open message file " + call.dir.path() +
                                                  "/none.ul for reading"});
}

// The greeting and the response requested in the same instant, many times:
// one runs, the other waits its turn, and the two never run at once.
TEST_F(Greeting, GreetingAndResponseRequestedTogetherNeverRunAtOnce)
{
    writeWord(cb.audioFd, 0);
    writeWord(cb.responseLimit, 0xFFFFFFFF);
    ASSERT_TRUE(start());
    // Longer than the line holds: while the line is paused the greeting
    // cannot end, so a response that starts meanwhile overlaps it.
    writeFile(call.messagePath, audio(80000));
    // The ttyI-to-audio pump serves its requests as line bytes come in.
    std::atomic<bool> talking{true};
    std::thread caller([&] {
        while (talking) {
            call.line.sendAudio(audio(8));
            std::this_thread::sleep_for(200us); // the caller's pace, not a synchronisation
        }
    });
    struct Join {
        std::atomic<bool>& talking;
        std::thread& caller;
        ~Join()
        {
            talking = false;
            caller.join();
        }
    } join{talking, caller};
    auto idle = [&] {
        return call.seg.waitUntil(
            [&] {
                if (readWord(cb.responseRecording))
                    writeWord(cb.responseStop, 1);
                else if (readWord(cb.responseStop))
                    writeWord(cb.responseStop, 0); // never cleared by a daemon
                if (readWord(cb.messagePlaying))
                    writeWord(cb.messageStop, 1);
                return !readWord(cb.messageStart) && !readWord(cb.responseStart) && !readWord(cb.messagePlaying) &&
                       !readWord(cb.responseRecording) && !readWord(cb.responseStop);
            },
            10s);
    };
    // Both requests taken and both running: both got past the other's claim.
    // (A claim that backs off never takes its request, so a claim caught in
    // the moment before it backs off is not counted.)
    auto bothStarted = [&] {
        return !readWord(cb.messageStart) && !readWord(cb.responseStart) && readWord(cb.messagePlaying) &&
               readWord(cb.responseRecording);
    };
    int overlaps = 0, rounds = 0;
    for (; rounds < 1000 && !HasFatalFailure(); ++rounds) {
        writeWord(cb.messageStop, 0);
        call.line.pause(true);
        writeWord(cb.responseStart, 1);
        writeWord(cb.messageStart, 1);
        ASSERT_TRUE(call.seg.waitUntil([&] { return !readWord(cb.messageStart) || !readWord(cb.responseStart); }, 10s))
            << "round " << rounds << ": playing " << readWord(cb.messagePlaying) << ", recording "
            << readWord(cb.responseRecording);
        // A few passes of both pumps: long enough for a second start to show.
        for (auto until = std::chrono::steady_clock::now() + 3ms; std::chrono::steady_clock::now() < until;) {
            if (bothStarted()) {
                ++overlaps;
                break;
            }
        }
        call.line.pause(false);
        ASSERT_TRUE(idle()) << "round " << rounds << ": a request was never served";
    }
    EXPECT_EQ(overlaps, 0) << "in " << rounds << " rounds";
    EXPECT_EQ(call.stop(), 0);
}

TEST_F(Greeting, EndOfTheCallCutsOffAGreetingTheLineDoesNotTake)
{
    ASSERT_TRUE(start());
    call.line.pause(true);
    writeFile(call.messagePath, audio(200000));
    writeWord(cb.messageStart, 1);
    ASSERT_TRUE(call.waitFor(cb.messagePlaying, 1));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(call.stop(), 0);
    EXPECT_EQ(readWord(cb.messagePlaying), 0u);
    EXPECT_EQ(readWord(cb.messageDone), 1u);
    EXPECT_EQ(countLines(call.daemon.lines().out, std::string(a2tPrefix) + "Dying"), 1u);
}

// A short read from the sound device: the line and the tape get what was
// read and no more, so the outgoing file advances as the call does (a whole
// chunk would put stale bytes on the tape and run it ahead of the ingoing
// side).
TEST(AudioToTty, ShortReadTapesWhatWasRead)
{
    Call call;
    call.makeTape({}, {});
    ControlBlock& cb = call.cb();
    ASSERT_TRUE(call.start(160));
    writeWord(cb.recordFlags, FlagStartRequest);
    ASSERT_TRUE(call.waitFor(cb.recordFlags, FlagStarted | FlagActive));

    const Bytes first = audio(160, 1);
    const Bytes shortRead = audio(100, 2);
    call.sound.feed(first);
    ASSERT_TRUE(call.waitFor(cb.outgoingPosition, 160));
    call.sound.feed(shortRead);
    ASSERT_TRUE(call.waitFor(cb.outgoingPosition, 260));
    ASSERT_TRUE(call.line.waitForReceived(260));
    EXPECT_EQ(call.line.received(), first + shortRead);
    EXPECT_EQ(call.stop(), 0);
    EXPECT_EQ(readFile(call.outgoingPath), first + shortRead);
}

} // namespace
} // namespace voicetest
