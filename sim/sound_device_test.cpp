#include "sound_device.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include "audio_io.h"

namespace sim {
namespace {

// Reads until `count` bytes came, the end, or 10 s without a byte: a
// stand-in that stops short fails the comparison rather than hanging it.
std::vector<uint8_t> readExactly(int fd, size_t count)
{
    std::vector<uint8_t> got(count);
    size_t have = 0;
    while (have < count) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 10000) <= 0)
            break;
        ssize_t n = read(fd, got.data() + have, count - have);
        if (n <= 0)
            break;
        have += size_t(n);
    }
    got.resize(have);
    return got;
}

bool writeAllTo(int fd, const std::vector<uint8_t>& bytes)
{
    return write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
}

// Every µ-law code but the two that have a twin (0x7F is 0xFF, 0x00 is 0x02
// once through 16 bits), so each survives the round trip.
std::vector<uint8_t> distinctCodes()
{
    std::vector<uint8_t> codes;
    for (int c = 0; c < 256; ++c)
        if (c != 0x7f && c != 0x00)
            codes.push_back(uint8_t(c));
    return codes;
}

std::vector<uint8_t> littleEndian(std::initializer_list<int16_t> samples)
{
    std::vector<uint8_t> bytes;
    for (int16_t s : samples) {
        bytes.push_back(uint8_t(uint16_t(s) & 0xff));
        bytes.push_back(uint8_t(uint16_t(s) >> 8));
    }
    return bytes;
}

TEST(SoundSocket, UlawRoundTripBothWays)
{
    SoundDevice sound(SoundDevice::Kind::Socket, WrapUlaw);
    const std::vector<uint8_t> codes = distinctCodes();
    sound.feed(codes);
    EXPECT_EQ(readExactly(sound.daemonFd(), codes.size()), codes);
    EXPECT_TRUE(sound.waitFedOut());

    ASSERT_TRUE(writeAllTo(sound.daemonFd(), codes));
    ASSERT_TRUE(sound.waitForPlayed(codes.size()));
    EXPECT_EQ(sound.played(), codes);
    EXPECT_EQ(sound.playedRaw(), codes);
}

TEST(SoundSocket, Linear16DeviceCarriesLittleEndianSamples)
{
    SoundDevice sound(SoundDevice::Kind::Socket, WrapLinear16);
    // 0x80 is the largest positive code, 0x00 the most negative, 0xFF zero.
    sound.feed(std::vector<uint8_t>{0x80, 0x00, 0xff});
    EXPECT_EQ(readExactly(sound.daemonFd(), 6), littleEndian({32124, -32124, 0}));

    ASSERT_TRUE(writeAllTo(sound.daemonFd(), littleEndian({32124, -32124, 0, 8})));
    ASSERT_TRUE(sound.waitForPlayed(4));
    EXPECT_EQ(sound.playedCount(), 4u);
    // The encoder never produces 0x00 (the all-zero code is trapped to 0x02).
    EXPECT_EQ(sound.played(), (std::vector<uint8_t>{0x80, 0x02, 0xff, 0xfe}));

    const std::vector<uint8_t> codes = distinctCodes();
    std::vector<uint8_t> linear(codes.size() * 2);
    ulawToLinear16(codes.data(), linear.data(), int(codes.size()));
    ASSERT_TRUE(writeAllTo(sound.daemonFd(), linear));
    ASSERT_TRUE(sound.waitForPlayed(4 + codes.size()));
    const std::vector<uint8_t> played = sound.played();
    EXPECT_EQ(std::vector<uint8_t>(played.begin() + 4, played.end()), codes);
}

TEST(SoundSocket, PendingFeedCountsWhatTheDaemonHasNotRead)
{
    SoundDevice sound(SoundDevice::Kind::Socket, WrapLinear16);
    sound.feed(std::vector<uint8_t>(500, 0xff));
    EXPECT_EQ(sound.pendingFeed(), 1000u);
    EXPECT_FALSE(sound.waitFedOut(20ms));
    EXPECT_EQ(readExactly(sound.daemonFd(), 400).size(), 400u);
    EXPECT_EQ(sound.pendingFeed(), 600u);
    EXPECT_EQ(readExactly(sound.daemonFd(), 600).size(), 600u);
    EXPECT_TRUE(sound.waitFedOut());
}

TEST(SoundSource, EndComesAfterEverythingFed)
{
    for (auto kind : {SoundDevice::Kind::Socket, SoundDevice::Kind::RecordPipe}) {
        SoundDevice sound(kind);
        std::vector<uint8_t> audio(100000);
        for (size_t i = 0; i < audio.size(); ++i)
            audio[i] = uint8_t(i % 251);
        sound.feed(audio);
        sound.endSource();
        EXPECT_EQ(readExactly(sound.daemonFd(), audio.size() + 1), audio);
        uint8_t byte;
        EXPECT_EQ(read(sound.daemonFd(), &byte, 1), 0);
    }
}

// A voice goes on for as long as the daemon reads, well past the second it
// is asked for at a time, each piece following the last.
TEST(SoundSource, AVoiceTalksOnInOrderForAsLongAsTheDaemonReads)
{
    const std::vector<uint8_t> codes = distinctCodes();
    for (int mode : {WrapUlaw, WrapLinear16}) {
        SoundDevice sound(SoundDevice::Kind::Socket, mode);
        size_t said = 0; // only the stand-in's thread calls the voice
        sound.feedFrom([&](size_t n) {
            std::vector<uint8_t> piece(n);
            for (auto& b : piece)
                b = codes[said++ % codes.size()];
            return piece;
        });
        const size_t samples = 5 * 8000 + 7; // five seconds and a bit
        std::vector<uint8_t> expected(samples);
        for (size_t i = 0; i < samples; ++i)
            expected[i] = codes[i % codes.size()];
        std::vector<uint8_t> got = readExactly(sound.daemonFd(), mode == WrapLinear16 ? 2 * samples : samples);
        if (mode == WrapLinear16) {
            std::vector<uint8_t> linear(2 * samples);
            ulawToLinear16(expected.data(), linear.data(), int(samples));
            expected = linear;
        }
        EXPECT_EQ(got, expected) << "mode " << mode;
    }
}

TEST(SoundSink, PlaybackPipeRecordsWhatTheDaemonPlays)
{
    SoundDevice sound(SoundDevice::Kind::PlaybackPipe, WrapLinear16);
    std::vector<uint8_t> bytes = littleEndian({0, 32124});
    bytes.push_back(0x00); // half a sample; one write, so it comes in the same read
    ASSERT_TRUE(writeAllTo(sound.daemonFd(), bytes));
    ASSERT_TRUE(sound.waitForPlayed(2));
    EXPECT_EQ(sound.played(), (std::vector<uint8_t>{0xff, 0x80}));
    EXPECT_EQ(sound.playedRaw().size(), 5u);
}

TEST(SoundSource, PacedFeedRunsAtEightThousandSamplesASecond)
{
    for (int mode : {WrapUlaw, WrapLinear16}) {
        SoundDevice sound(SoundDevice::Kind::Socket, mode);
        sound.setPaced(true);
        const size_t samples = 2000; // a quarter of a second
        const size_t bytes = samples * (mode == WrapLinear16 ? 2 : 1);
        auto start = std::chrono::steady_clock::now();
        sound.feed(std::vector<uint8_t>(samples, 0xff));
        EXPECT_EQ(readExactly(sound.daemonFd(), bytes).size(), bytes);
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, 200ms) << "mode " << mode;
        // Never faster than real time; slower only as far as a busy machine
        // holds the pacer back (a pacer that lost its place would take far
        // longer than ten times the quarter second).
        EXPECT_LE(took, 2500ms) << "mode " << mode;
    }
}

} // namespace
} // namespace sim

namespace sim {
namespace {

TEST(SoundSink, ClosedOnlyOnceEverythingWrittenIsRead)
{
    SoundDevice dev(SoundDevice::Kind::PlaybackPipe);
    int daemon = dup(dev.daemonFd());
    dev.closeDaemonEnd();
    std::vector<uint8_t> bytes(30000);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i * 7);
    std::thread writer([&] {
        EXPECT_TRUE(writeAllTo(daemon, bytes));
        close(daemon);
    });
    ASSERT_TRUE(dev.waitSinkClosed(20000ms)) << "the sink to see the daemon's end";
    writer.join();
    EXPECT_EQ(dev.played(), bytes);
}

TEST(SoundSink, PacedSinkTakesAudioAtEightThousandSamplesASecond)
{
    SoundDevice dev(SoundDevice::Kind::PlaybackPipe);
    dev.setSinkPaced(true);
    int daemon = dup(dev.daemonFd());
    dev.closeDaemonEnd();
    std::vector<uint8_t> bytes(8000, 0x55); // one second
    auto start = std::chrono::steady_clock::now();
    std::thread writer([&] {
        EXPECT_TRUE(writeAllTo(daemon, bytes));
        close(daemon);
    });
    ASSERT_TRUE(dev.waitSinkClosed(20000ms)) << "the paced sink to take a second of audio";
    auto took = std::chrono::steady_clock::now() - start;
    writer.join();
    EXPECT_EQ(dev.played(), bytes);
    // Never faster than real time; a loaded machine may make it slower.
    EXPECT_GE(took, 900ms);
}

} // namespace
} // namespace sim
