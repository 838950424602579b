// Whatever the far end and the application send: every DLE code at every
// position of a read, and every byte value as a DTMF key.  Each code gets
// its line or its action, the audio around the codes arrives intact, the
// remote code stays within 16 digits, and no key value upsets the daemon.
#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>

#include "daemon_process.h"
#include "line.h"
#include "reliability_kit.h"
#include "segment.h"
#include "sound_device.h"

namespace {

using namespace std::chrono_literals;

const std::string supervisor = "Orvex VoicePhone daemon: ";
const std::string t2a = "Orvex ttyI2Audio daemon: ";
const std::string a2t = "Orvex Audio2ttyI daemon: ";
constexpr uint8_t DLE = 0x10;

bool isTouchtone(uint8_t c) { return (c >= '0' && c <= '9') || c == '*' || c == '#' || (c >= 'A' && c <= 'D'); }

std::string codeLine(uint8_t c)
{
    if (isTouchtone(c))
        return t2a + "Touchtone '" + char(c) + "'\n";
    return t2a + "DLE " + std::to_string(c) + " ('" + char(c) + "') received\n";
}

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

struct Call {
    kit::ScratchDir dir;
    sim::Segment seg;
    sim::Line line;
    sim::SoundDevice sound;
    sim::DaemonProcess daemon;

    bool start(int chunk)
    {
        writeWord(seg->wrapMode, 1);
        kit::writeFile(dir / "in.tape", {});
        kit::writeFile(dir / "out.tape", {});
        sim::Segment::setPath(seg->ingoingPath, dir / "in.tape");
        sim::Segment::setPath(seg->outgoingPath, dir / "out.tape");
        writeWord(seg->ownerUid, getuid());
        writeWord(seg->ownerGid, getgid());
        bool ok = sim::startVoicePhone(daemon, line, sound, chunk, seg);
        line.closeDaemonEnd();
        sound.closeDaemonEnd();
        return ok && seg.waitFor(seg->phoneUp, 1);
    }
};

// Reads of 8 bytes; every code 0x00-0xFF sits at each of the 8 positions of
// a read, the last one splitting DLE and code across two reads.  ETX comes
// last, in the middle of a read whose rest is never decoded.
TEST(HostileLine, EveryDleCodeAtEveryPositionOfARead)
{
    constexpr int chunk = 8;
    constexpr uint8_t filler = 0x55;
    Call c;
    writeWord(c.seg->tapeLimit, 0xFFFFFFFF);
    ASSERT_TRUE(c.start(chunk));
    c.seg->recordFlags.fetch_or(FlagStartRequest);
    ASSERT_TRUE(c.seg.waitUntil([&] { return flagSet(c.seg->recordFlags, FlagActive); }));

    std::vector<uint8_t> stream;
    std::vector<uint8_t> audio;
    std::string lines;
    auto code = [&](uint8_t code) {
        stream.push_back(DLE);
        stream.push_back(code);
        if (code == DLE)
            audio.push_back(DLE);
        else if (code != 0x03 && code != 0x14)
            lines += codeLine(code);
    };
    for (int value = 0; value < 256; ++value) {
        if (value == 0x03)
            continue; // the end of data comes last
        for (size_t position = 0; position < chunk; ++position) {
            while (stream.size() % chunk != position) {
                stream.push_back(filler);
                audio.push_back(filler);
            }
            code(static_cast<uint8_t>(value));
        }
    }
    code('#'); // completes the code the digits above left open
    while (stream.size() % chunk != 3) {
        stream.push_back(filler);
        audio.push_back(filler);
    }
    stream.insert(stream.end(), {DLE, 0x03, 0x10, 0x10, 0x10}); // nothing after ETX is decoded

    for (size_t at = 0; at < stream.size(); at += chunk) {
        size_t n = std::min<size_t>(chunk, stream.size() - at);
        ASSERT_TRUE(c.line.sendRaw(std::span(stream).subspan(at, n)));
        ASSERT_TRUE(c.line.waitTaken()) << "at byte " << at;
    }
    ASSERT_EQ(c.daemon.wait(5s), std::optional<int>(0)) << "DLE ETX ends the call";

    // Delivered in whole chunks; the partial chunk at ETX is dropped.  The
    // tape gets every chunk; the sound device those it had room for (a
    // socket counts each small write's bookkeeping against its room).
    audio.resize(audio.size() / chunk * chunk);
    EXPECT_EQ(kit::readFile(c.dir / "in.tape"), audio);
    std::vector<uint8_t> played = c.sound.played();
    ASSERT_EQ(played.size() % chunk, 0u);
    size_t matched = 0;
    for (size_t at = 0; at < audio.size() && matched < played.size(); at += chunk)
        if (std::equal(audio.begin() + at, audio.begin() + at + chunk, played.begin() + matched))
            matched += chunk;
    EXPECT_EQ(matched, played.size()) << "the sound device got chunks out of order or altered";
    EXPECT_GT(played.size(), 0u);

    // The start-up lines end with the PID line; after it, all but the
    // "Dying" lines come from the codes.
    std::string out = c.daemon.output();
    size_t pid = out.find(supervisor + "PID (ttyI -> audio)");
    ASSERT_NE(pid, std::string::npos);
    out.erase(0, out.find('\n', pid) + 1);
    for (const std::string& own : {a2t + "Dying\n", t2a + "Dying\n", supervisor + "Dying\n"}) {
        size_t at = out.find(own);
        ASSERT_NE(at, std::string::npos) << own;
        out.erase(at, own.size());
    }
    EXPECT_TRUE(out == lines) << "the code lines differ from those expected, in " << out.size() << " bytes";
    EXPECT_EQ(c.daemon.errors(), "");

    // 16 of the 80 digits after '*', in the order keyed; '#' before '*' did nothing.
    EXPECT_EQ(acquireWord(c.seg->codeComplete), 1u);
    EXPECT_EQ(std::string(c.seg->remoteCode, strnlen(c.seg->remoteCode, remoteCodeSize)), "0000000011111111");
    EXPECT_EQ(c.seg->remoteCode[16], '\0');
    EXPECT_EQ(readWord(c.seg->t2aRunning), 0u);
    EXPECT_EQ(readWord(c.seg->a2tRunning), 0u);
}

// Every byte value as dtmfKey.  The sixteen keys are sent and cleared by the
// pump; any other nonzero value is announced on every pass, never rendered,
// and left for the application to clear.
TEST(HostileLine, EveryByteValueAsADtmfKey)
{
    constexpr int chunk = 400;
    Call c;
    ASSERT_TRUE(c.start(chunk));
    const std::string keys = "123A456B789C*0#D";
    std::vector<uint8_t> silence(2000, 0xFF);
    size_t sent = 0;
    for (int value = 1; value < 256; ++value) {
        char key = static_cast<char>(value);
        SCOPED_TRACE("key " + std::to_string(value));
        std::string request = supervisor + "Send request for DTMF '" + key + "'\n";
        writeByte(c.seg->dtmfKey, static_cast<uint8_t>(value));
        if (keys.find(key) != std::string::npos) {
            ASSERT_TRUE(c.seg.waitFor(c.seg->dtmfPending, 1, 2000ms));
            c.sound.feed(silence);
            ASSERT_TRUE(c.seg.waitUntil([&] { return readByte(c.seg->dtmfKey) == 0; }));
            EXPECT_EQ(acquireWord(c.seg->dtmfPending), 0u);
            // The line is printed before the tone is published, but reaches
            // us through a pipe; that it came once is checked at the end.
            ASSERT_TRUE(c.seg.waitUntil([&] { return count(c.daemon.output(), request) >= 1; }))
                << "the request line for the key";
            sent += 2000;
            // Live audio the line does not take in time is dropped: each
            // tone is taken before the next, so a stand-in that a busy
            // machine held back cannot lose one.
            ASSERT_TRUE(c.line.waitForReceived(sent)) << "the line taking the tone's " << sent << " bytes so far";
        } else {
            ASSERT_TRUE(c.seg.waitUntil([&] { return count(c.daemon.output(), request) >= 2; }));
            EXPECT_EQ(acquireWord(c.seg->dtmfPending), 0u);
            EXPECT_EQ(readByte(c.seg->dtmfKey), value);
            writeByte(c.seg->dtmfKey, 0);
            std::this_thread::sleep_for(12ms); // a pass that sees no key
        }
    }
    ASSERT_TRUE(c.line.waitForReceived(sent))
        << "the line got " << c.line.receivedCount() << " of the " << sent << " bytes the sixteen tones went out with";
    writeWord(c.seg->stopRequest, 1);
    ASSERT_EQ(c.daemon.wait(5s), std::optional<int>(0));
    std::string out = c.daemon.output();
    EXPECT_EQ(out.find('\0'), std::string::npos) << "key 0 is no request";
    for (char key : keys)
        EXPECT_EQ(count(out, supervisor + "Send request for DTMF '" + key + "'\n"), 1u) << "key " << key;
    EXPECT_EQ(c.daemon.errors(), "");
    // The tones replaced the silence: none of the sixteen is silent.
    std::vector<uint8_t> received = c.line.received();
    ASSERT_EQ(received.size(), sent);
    for (size_t k = 0; k < 16; ++k) {
        size_t loud = 0;
        for (size_t i = k * 2000; i < (k + 1) * 2000; ++i)
            loud += received[i] != 0xFF;
        EXPECT_GT(loud, 1900u) << "tone " << keys[k];
    }
}

} // namespace
