// Whole calls through voicephone-daemon: both directions carried and taped
// byte for byte in both wrap modes, with a tone and a remote code on the
// way; and an answering-machine call.
#include <random>

#include "audio_io.h"
#include "voicephone_harness.h"

namespace voicetest {
namespace {

// Audio that survives the trip through 16-bit samples unchanged (0x7F and
// 0x00 have no linear value of their own), with plenty of DLE bytes.
Bytes speech(size_t n, unsigned seed)
{
    std::mt19937 random(seed);
    Bytes b(n);
    for (auto& x : b) {
        do
            x = random() % 5 == 0 ? 0x10 : static_cast<uint8_t>(random());
        while (linearToUlaw(ulawToLinear(x)) != x);
    }
    return b;
}

class WholeCall : public ::testing::TestWithParam<int> {};

TEST_P(WholeCall, CarriesAndTapesBothDirections)
{
    const int chunk = 160;
    Call call(GetParam());
    call.makeTape({}, {});
    ControlBlock& cb = call.cb();
    ASSERT_TRUE(call.start(chunk));
    writeWord(cb.recordFlags, FlagStartRequest);
    ASSERT_TRUE(call.waitFor(cb.recordFlags, FlagStarted | FlagActive));

    const Bytes heard = speech(50 * chunk + 77, 1); // the far end; the partial chunk stays behind
    const Bytes said = speech(48 * chunk, 2);        // the local user
    std::mt19937 random(3);
    size_t sent = 0;
    size_t fed = 0;
    bool keyed = false;
    while (sent < heard.size() || fed < said.size()) {
        size_t n = std::min<size_t>(1 + random() % 700, heard.size() - sent);
        if (n > 0) {
            ASSERT_TRUE(call.line.sendAudio(slice(heard, sent, n)));
            sent += n;
        }
        if (!keyed && sent > heard.size() / 2) {
            for (char k : std::string("*42#"))
                ASSERT_TRUE(call.line.sendCode(static_cast<uint8_t>(k)));
            writeByte(cb.dtmfKey, '7');
            ASSERT_TRUE(call.waitFor(cb.dtmfPending, 1)); // rendered before the rest is fed
            keyed = true;
        }
        size_t m = std::min<size_t>(chunk * (1 + random() % 4), said.size() - fed);
        call.sound.feed(slice(said, fed, m));
        fed += m;
    }
    const size_t played = (heard.size() / chunk) * chunk;
    ASSERT_TRUE(call.sound.waitForPlayed(played));
    ASSERT_TRUE(call.line.waitForReceived(said.size()));
    ASSERT_TRUE(call.waitFor(cb.codeComplete, 1));
    ASSERT_TRUE(call.waitFor(cb.dtmfPending, 0));
    writeWord(cb.recordFlags, readWord(cb.recordFlags) | FlagStopRequest);
    ASSERT_TRUE(call.waitFor(cb.recordFlags, FlagStarted | FlagStopped));
    ASSERT_TRUE(call.line.sendEnd());
    EXPECT_EQ(call.daemon.wait(), 0);

    // Line to sound device.
    EXPECT_EQ(call.sound.played(), slice(heard, 0, played));
    EXPECT_STREQ(cb.remoteCode, "42");

    // Sound device to line: the tone replaced one stretch of 2000 samples.
    const Bytes received = call.line.received();
    ASSERT_EQ(received.size(), said.size());
    EXPECT_EQ(call.line.strayCodes(), 0u);
    const Bytes tone(cb.dtmfTone, cb.dtmfTone + dtmfToneSize);
    size_t at = std::search(received.begin(), received.end(), tone.begin(), tone.end()) - received.begin();
    ASSERT_LT(at, received.size()) << "the tone never reached the line";
    Bytes expected = said;
    std::copy(tone.begin(), tone.end(), expected.begin() + static_cast<long>(at));
    EXPECT_EQ(received, expected);

    // Each tape file holds its direction up to the position the record gives.
    EXPECT_EQ(readWord(cb.ingoingPosition), played);
    EXPECT_EQ(readWord(cb.outgoingPosition), said.size());
    EXPECT_EQ(readWord(cb.tapePosition), std::min(played, said.size()));
    EXPECT_EQ(readWord(cb.tapeLength), std::min(played, said.size()));
    EXPECT_EQ(readFile(call.ingoingPath), slice(heard, 0, played));
    EXPECT_EQ(readFile(call.outgoingPath), expected);
    EXPECT_EQ(readWord(cb.errorFlag), 0u);
    EXPECT_EQ(call.daemon.lines().err, std::vector<std::string>{});
    EXPECT_EQ(countLines(call.daemon.lines().out, std::string(t2aPrefix) + "Touchtone '*'"), 1u);
}

INSTANTIATE_TEST_SUITE_P(WrapModes, WholeCall, ::testing::Values(1, 16),
                         [](const auto& info) { return info.param == 1 ? "Ulaw" : "Linear16"; });

TEST(AnsweringMachine, PlaysTheGreetingAndRecordsTheCaller)
{
    Call call;
    ControlBlock& cb = call.cb();
    writeWord(cb.answerMode, 1);
    writeWord(cb.responseLimit, 8000);
    const Bytes greeting = speech(6000, 4);
    writeFile(call.messagePath, greeting);
    ASSERT_TRUE(call.start(160));

    writeWord(cb.messageStart, 1);
    ASSERT_TRUE(call.waitFor(cb.messageDone, 1, 3000ms));
    ASSERT_TRUE(call.line.waitForReceived(greeting.size()));
    EXPECT_EQ(call.line.received(), greeting);

    writeWord(cb.responseStart, 1);
    const Bytes caller = speech(9000, 5);
    ASSERT_TRUE(call.line.sendAudio(slice(caller, 0, 3000)));
    ASSERT_TRUE(call.line.sendCode('5'));
    ASSERT_TRUE(call.line.sendAudio(slice(caller, 3000, 6000)));
    ASSERT_TRUE(call.waitFor(cb.responseDone, 1));
    EXPECT_EQ(readWord(cb.responseRecording), 0u);
    ASSERT_TRUE(call.line.sendEnd());
    EXPECT_EQ(call.daemon.wait(), 0);

    EXPECT_EQ(readFile(call.responsePath), slice(caller, 0, 8000));
    EXPECT_EQ(readWord(cb.errorFlag), 0u);
    EXPECT_EQ(call.sound.playedCount(), 0u);
    EXPECT_TRUE(call.daemon.waitForLine(std::string(t2aPrefix) + "Touchtone '5'"));
}

} // namespace
} // namespace voicetest
