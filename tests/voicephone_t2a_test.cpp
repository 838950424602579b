// The ttyI-to-audio pump of voicephone-daemon: decoding the line, the codes
// it reports, the remote code, chunks to the sound device and the ingoing
// tape, and the response file in answer mode.
#include <cstring>

#include "voicephone_harness.h"

namespace voicetest {
namespace {

std::string t2aLine(const std::string& text) { return std::string(t2aPrefix) + text; }

// Sends bytes and waits until the daemon has read them, so the next send
// starts a new read.
void sendRead(Call& call, const Bytes& raw)
{
    ASSERT_TRUE(call.line.sendRaw(raw));
    ASSERT_TRUE(call.line.waitTaken());
}

// Sends a code the pump only reports and waits for its line: everything
// sent before it has then been through the byte step.
void settle(Call& call, uint8_t marker)
{
    ASSERT_TRUE(call.line.sendCode(marker));
    ASSERT_TRUE(call.daemon.waitForLine(t2aLine("DLE " + std::to_string(marker) + " (")));
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(TtyToAudio, DecodesTheLineIntoChunksAndReportsCodes)
{
    Call call;
    call.makeTape({}, {});
    ControlBlock& cb = call.cb();
    ASSERT_TRUE(call.start(160));

    // A chunk fills across reads and goes out with its 160th byte; a DLE that
    // ends a read takes the next read's first byte as its code; DLE DLE is the
    // audio byte 0x10.
    const Bytes first = audio(100, 1);
    const Bytes second = audio(59, 2);
    sendRead(call, first + Bytes{0x10});
    sendRead(call, Bytes{'5'} + second);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(call.sound.playedCount(), 0u);
    sendRead(call, Bytes{0x10, 0x10});
    ASSERT_TRUE(call.sound.waitForPlayed(160));
    EXPECT_EQ(call.sound.played(), first + second + Bytes{0x10});
    ASSERT_TRUE(call.daemon.waitForLine(t2aLine("Touchtone '5'")));

    // Other codes: one line each, value and character.
    sendRead(call, {0x10, 'b', 0x10, 0xC8, 0x10, 'D'});
    ASSERT_TRUE(call.daemon.waitForLine("DLE 200"));

    // While holdAudio is set, full chunks vanish.
    writeWord(cb.holdAudio, 1);
    sendRead(call, audio(160, 3));
    settle(call, 0xE1);
    writeWord(cb.holdAudio, 0);
    const Bytes after = audio(160, 4);
    sendRead(call, after);
    ASSERT_TRUE(call.sound.waitForPlayed(320));
    EXPECT_EQ(slice(call.sound.played(), 160, 160), after);

    // DC4 stops the other pump only.
    sendRead(call, {0x10, 0x14});
    ASSERT_TRUE(call.waitFor(cb.a2tRunning, 0));
    ASSERT_TRUE(call.daemon.waitForLine(std::string(a2tPrefix) + "Dying"));
    EXPECT_EQ(readWord(cb.t2aRunning), 1u);

    // ETX mid-read: the rest of the read is not decoded, the partial chunk is
    // dropped, and the call ends.
    sendRead(call, audio(50, 5) + Bytes{0x10, 0x03, 0x10, '1'} + audio(100, 6)); // one read of at most 160
    EXPECT_EQ(call.daemon.wait(), 0);
    EXPECT_EQ(readWord(cb.t2aRunning), 0u);
    EXPECT_EQ(call.sound.playedCount(), 320u);

    Lines lines = call.daemon.lines();
    EXPECT_EQ(lines.err, std::vector<std::string>{});
    EXPECT_EQ(countLines(lines.out, t2aLine("Touchtone '5'")), 1u);
    EXPECT_EQ(countLines(lines.out, t2aLine("DLE 98 ('b') received")), 1u);
    EXPECT_EQ(countLines(lines.out, t2aLine("DLE 200 ('\xC8') received")), 1u);
    EXPECT_EQ(countLines(lines.out, t2aLine("Touchtone 'D'")), 1u);
    EXPECT_EQ(countLines(lines.out, t2aLine("Touchtone '1'")), 0u);
    EXPECT_EQ(countLines(lines.out, t2aLine("Dying")), 1u);
    EXPECT_EQ(lines.out.back(), std::string(supervisorPrefix) + "Dying");
}

void key(Call& call, const std::string& keys)
{
    for (char k : keys)
        ASSERT_TRUE(call.line.sendCode(static_cast<uint8_t>(k)));
    ASSERT_TRUE(call.line.waitTaken());
}

TEST(TtyToAudio, CollectsRemoteCodes)
{
    Call call;
    call.makeTape({}, {});
    ControlBlock& cb = call.cb();
    ASSERT_TRUE(call.start(160));

    key(call, "3*12#");
    ASSERT_TRUE(call.waitFor(cb.codeComplete, 1));
    EXPECT_STREQ(cb.remoteCode, "12");
    // While the application has not taken the code, keys are only reported.
    key(call, "*45#");
    ASSERT_TRUE(call.daemon.waitForLine("Touchtone '4'"));
    EXPECT_STREQ(cb.remoteCode, "12");

    writeWord(cb.codeComplete, 0);
    key(call, "*12*34#");
    ASSERT_TRUE(call.waitFor(cb.codeComplete, 1));
    EXPECT_STREQ(cb.remoteCode, "34");

    writeWord(cb.codeComplete, 0);
    key(call, "*#");
    key(call, "12345678901234567#"); // '#' without a digit left the code open
    ASSERT_TRUE(call.waitFor(cb.codeComplete, 1));
    EXPECT_STREQ(cb.remoteCode, "1234567890123456");
    EXPECT_EQ(call.stop(), 0);
    // Every key was also reported, complete code or not.
    EXPECT_EQ(countLines(call.daemon.lines().out, t2aLine("Touchtone '#'")), 5u);
}

TEST(TtyToAudio, TapesWholeChunksUpToTheLimit)
{
    Call call;
    call.makeTape({}, {});
    ControlBlock& cb = call.cb();
    writeWord(cb.tapeLimit, 160);
    ASSERT_TRUE(call.start(160));
    writeWord(cb.recordFlags, FlagStartRequest);
    ASSERT_TRUE(call.waitFor(cb.recordFlags, FlagStarted | FlagActive));

    // Exactly one chunk of room: taped, the position reaches the limit.
    const Bytes heard = audio(160, 1);
    sendRead(call, heard);
    ASSERT_TRUE(call.waitFor(cb.ingoingPosition, 160));
    EXPECT_EQ(readWord(cb.tapeFull), 0u);
    // No room left: full, taping ends, nothing written, the tape recomputed.
    writeWord(cb.tapePosition, 999);
    sendRead(call, audio(160, 2));
    ASSERT_TRUE(call.waitFor(cb.tapeFull, 1));
    EXPECT_EQ(readWord(cb.recordFlags), FlagStarted);
    EXPECT_EQ(readWord(cb.tapePosition), 0u); // the outgoing side has nothing yet
    EXPECT_EQ(readWord(cb.ingoingPosition), 160u);

    // One byte less than a chunk of room is no room either.
    writeWord(cb.tapeFull, 0);
    writeWord(cb.tapeLimit, 160 + 159);
    writeWord(cb.recordFlags, FlagStartRequest);
    ASSERT_TRUE(call.waitFor(cb.recordFlags, FlagStarted | FlagActive));
    sendRead(call, audio(160, 3));
    ASSERT_TRUE(call.waitFor(cb.tapeFull, 1));

    // Beyond the limit (moved there over a longer tape) is no room, not a wrap.
    writeWord(cb.tapeFull, 0);
    writeWord(cb.ingoingPosition, 400);
    writeWord(cb.recordFlags, FlagStartRequest);
    ASSERT_TRUE(call.waitFor(cb.recordFlags, FlagStarted | FlagActive));
    sendRead(call, audio(160, 4));
    ASSERT_TRUE(call.waitFor(cb.tapeFull, 1));
    EXPECT_TRUE(call.sound.waitForPlayed(4 * 160)); // played all the same
    EXPECT_EQ(call.stop(), 0);
    EXPECT_EQ(readFile(call.ingoingPath), heard);
}

// Answer mode: the caller goes byte by byte into the response file.
class ResponseFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        writeWord(cb.answerMode, 1);
        ASSERT_TRUE(call.start(160));
    }
    void startRecording()
    {
        writeWord(cb.responseStart, 1);
        sendRead(call, {0x10, 'b'}); // a byte step without audio takes the request
        ASSERT_TRUE(call.waitFor(cb.responseRecording, 1)) << call.daemon.output() << call.daemon.errors();
    }

    Call call;
    ControlBlock& cb = call.cb();
};

TEST_F(ResponseFile, GrowsToItsLimitExactly)
{
    writeWord(cb.responseLimit, 300);
    startRecording();
    const Bytes caller = audio(250, 1) + Bytes{0x10} + audio(99, 2);
    ASSERT_TRUE(call.line.sendAudio(caller));
    ASSERT_TRUE(call.waitFor(cb.responseDone, 1));
    EXPECT_EQ(readWord(cb.responseRecording), 0u);
    EXPECT_EQ(readFile(call.responsePath), slice(caller, 0, 300));
    EXPECT_EQ(call.sound.playedCount(), 0u); // never to the sound device in answer mode

    // A limit of 0 ends the recording at the first audio byte: an empty file.
    writeWord(cb.responseDone, 0);
    writeWord(cb.responseLimit, 0);
    startRecording();
    EXPECT_EQ(readFile(call.responsePath), Bytes{}); // created afresh
    sendRead(call, audio(5));
    ASSERT_TRUE(call.waitFor(cb.responseDone, 1));
    EXPECT_EQ(readFile(call.responsePath), Bytes{});
    EXPECT_EQ(call.stop(), 0);
    EXPECT_EQ(readWord(cb.errorFlag), 0u);
}

TEST_F(ResponseFile, StartAndStopInOneStepLeaveAnEmptyFile)
{
    writeFile(call.responsePath, audio(100));
    writeWord(cb.responseStart, 1);
    writeWord(cb.responseStop, 1);
    sendRead(call, audio(10));
    ASSERT_TRUE(call.waitFor(cb.responseDone, 1));
    EXPECT_EQ(readWord(cb.responseStart), 0u);
    EXPECT_EQ(readWord(cb.responseStop), 1u); // the application clears it
    EXPECT_EQ(readWord(cb.responseRecording), 0u);
    EXPECT_EQ(readFile(call.responsePath), Bytes{});
    EXPECT_EQ(call.stop(), 0);
    EXPECT_EQ(countLines(call.daemon.lines().out,
                         std::string(supervisorPrefix) + "Set access permissions of " + call.responsePath +
                             " to rw-------"),
              1u);
}

TEST_F(ResponseFile, WaitsForTheGreetingAndIsCutOffByTheEndOfTheCall)
{
    writeWord(cb.messagePlaying, 1); // as while a greeting plays
    writeWord(cb.responseStart, 1);
    sendRead(call, audio(10));
    settle(call, 0xE2);
    EXPECT_EQ(readWord(cb.responseStart), 1u);
    EXPECT_NE(access(call.responsePath.c_str(), F_OK), 0);
    writeWord(cb.messagePlaying, 0);
    const Bytes caller = audio(40, 7);
    sendRead(call, caller);
    ASSERT_TRUE(call.waitFor(cb.responseRecording, 1));
    sendRead(call, Bytes{0x10, 0x03});
    EXPECT_EQ(call.daemon.wait(), 0);
    EXPECT_EQ(readWord(cb.responseRecording), 0u);
    EXPECT_EQ(readWord(cb.errorFlag), 1u);
    EXPECT_EQ(readWord(cb.responseDone), 0u);
    EXPECT_EQ(readFile(call.responsePath), caller);
}

TEST_F(ResponseFile, ThatCannotBeCreatedIsReportedOnce)
{
    std::string bad = call.dir / "missing/response.ul";
    sim::Segment::setPath(cb.responsePath, bad);
    writeWord(cb.responseStart, 1);
    sendRead(call, audio(10));
    ASSERT_TRUE(call.waitFor(cb.errorFlag, 1));
    EXPECT_EQ(readWord(cb.responseStart), 0u);
    sendRead(call, audio(10));
    EXPECT_EQ(call.stop(), 0);
    EXPECT_EQ(call.daemon.lines().err,
              std::vector<std::string>{t2aLine("Can't open response file " + bad + " for writing")});
}

} // namespace
} // namespace voicetest
