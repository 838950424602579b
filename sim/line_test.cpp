#include "line.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace sim {
namespace {

std::vector<uint8_t> undoubleAll(std::span<const uint8_t> in, size_t* stray = nullptr)
{
    std::vector<uint8_t> out;
    bool pending = false;
    undoubleDle(in, out, pending, stray);
    return out;
}

// What a daemon reads from its end until `count` bytes have come.
std::vector<uint8_t> readExactly(int fd, size_t count)
{
    std::vector<uint8_t> got(count);
    size_t have = 0;
    while (have < count) {
        ssize_t n = read(fd, got.data() + have, count - have);
        if (n <= 0)
            break;
        have += size_t(n);
    }
    got.resize(have);
    return got;
}

TEST(DleFraming, DoublingIsUndoneWhereverTheStreamSplits)
{
    const std::vector<uint8_t> audio{0x10, 0x10, 0x7f, 0x10, 0x03, 0x00, 0x10};
    const std::vector<uint8_t> doubled = doubleDle(audio);
    EXPECT_EQ(doubled, (std::vector<uint8_t>{0x10, 0x10, 0x10, 0x10, 0x7f, 0x10, 0x10, 0x03, 0x00, 0x10, 0x10}));

    for (size_t cut = 0; cut <= doubled.size(); ++cut) {
        std::vector<uint8_t> out;
        bool pending = false;
        size_t stray = 0;
        undoubleDle(std::span(doubled).first(cut), out, pending, &stray);
        undoubleDle(std::span(doubled).subspan(cut), out, pending, &stray);
        EXPECT_EQ(out, audio) << "cut at " << cut;
        EXPECT_FALSE(pending);
        EXPECT_EQ(stray, 0u);
    }
}

TEST(DleFraming, CodesAreNotAudioAndAreCounted)
{
    size_t stray = 0;
    const std::vector<uint8_t> in{0x55, 0x10, 0x03, 0x66, 0x10, 0x14, 0x10, 0x10};
    EXPECT_EQ(undoubleAll(in, &stray), (std::vector<uint8_t>{0x55, 0x66, 0x10}));
    EXPECT_EQ(stray, 2u);
}

class LineTest : public ::testing::TestWithParam<Line::Kind> {};

TEST_P(LineTest, FarEndSendsDoubledAudioAndCodes)
{
    Line line(GetParam());
    const std::vector<uint8_t> audio{0x01, 0x10, 0xff, 0x10, 0x10};
    ASSERT_TRUE(line.sendAudio(audio));
    ASSERT_TRUE(line.sendCode(DC4));
    ASSERT_TRUE(line.sendEnd());
    EXPECT_EQ(readExactly(line.daemonFd(), 10),
              (std::vector<uint8_t>{0x01, 0x10, 0x10, 0xff, 0x10, 0x10, 0x10, 0x10, DLE, DC4}));
    EXPECT_EQ(readExactly(line.daemonFd(), 2), (std::vector<uint8_t>{DLE, ETX}));
    EXPECT_TRUE(line.waitTaken());
    EXPECT_EQ(line.unread(), 0u);
}

TEST_P(LineTest, DaemonOutputIsCollectedWithDoublingUndoneAcrossReads)
{
    Line line(GetParam());
    std::vector<uint8_t> audio(3000);
    for (size_t i = 0; i < audio.size(); ++i)
        audio[i] = uint8_t(i * 7);
    audio[999] = DLE; // its doubled pair straddles the two writes below
    const std::vector<uint8_t> doubled = doubleDle(audio);
    // The first piece ends between the two DLEs of the pair.
    const size_t cut = doubleDle(std::span(audio).first(1000)).size() - 1;
    ASSERT_EQ(doubled[cut - 1], DLE);
    ASSERT_EQ(doubled[cut], DLE);

    ASSERT_EQ(write(line.daemonFd(), doubled.data(), cut), ssize_t(cut));
    // Only once the first piece has crossed does the second go, so the
    // reader sees the pair split between two reads.
    for (int i = 0; i < 2000 && line.receivedRaw().size() < cut; ++i)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(line.receivedRaw().size(), cut);
    EXPECT_EQ(line.receivedCount(), 999u);
    ASSERT_EQ(write(line.daemonFd(), doubled.data() + cut, doubled.size() - cut), ssize_t(doubled.size() - cut));

    ASSERT_TRUE(line.waitForReceived(audio.size()));
    EXPECT_EQ(line.received(), audio);
    EXPECT_EQ(line.receivedRaw(), doubled);
    EXPECT_EQ(line.strayCodes(), 0u);
}

TEST_P(LineTest, PausedLineStopsTakingDataUntilResumed)
{
    Line line(GetParam());
    line.pause(true);
    int fd = line.daemonFd();
    ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK), 0);
    const std::vector<uint8_t> block(4096, 0x55);
    size_t written = 0;
    ssize_t n;
    while ((n = write(fd, block.data(), block.size())) > 0)
        written += size_t(n);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(line.receivedCount(), 0u);

    line.pause(false);
    ASSERT_TRUE(line.waitForReceived(written));
    EXPECT_EQ(line.receivedCount(), written);
}

INSTANTIATE_TEST_SUITE_P(Kinds, LineTest, ::testing::Values(Line::Kind::Pty, Line::Kind::SocketPair),
                         [](const auto& info) { return info.param == Line::Kind::Pty ? "Pty" : "SocketPair"; });

TEST(LineHangUp, PtySlaveSeesEndOfDataAndFailsWrites)
{
    Line line(Line::Kind::Pty);
    const uint8_t sample[] = {0x42};
    ASSERT_TRUE(line.sendAudio(sample));
    ASSERT_EQ(readExactly(line.daemonFd(), 1), std::vector<uint8_t>{0x42});
    ASSERT_TRUE(line.sendAudio(sample));
    line.hangUp();
    EXPECT_FALSE(line.sendAudio(sample));

    // The kernel hangs the slave up: what was not read is gone, reads end.
    uint8_t buffer[16];
    ssize_t n = read(line.daemonFd(), buffer, sizeof buffer);
    EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << "read gave " << n;
    errno = 0;
    EXPECT_EQ(write(line.daemonFd(), sample, 1), -1);
    EXPECT_EQ(errno, EIO);
}

TEST(LineHangUp, SocketPairDeliversWhatWasSentThenEnds)
{
    Line line(Line::Kind::SocketPair);
    const uint8_t sample[] = {0x42, 0x10};
    ASSERT_TRUE(line.sendAudio(sample));
    line.hangUp();
    EXPECT_EQ(readExactly(line.daemonFd(), 3), (std::vector<uint8_t>{0x42, 0x10, 0x10}));
    uint8_t buffer[4];
    EXPECT_EQ(read(line.daemonFd(), buffer, sizeof buffer), 0);
}

TEST(LineHangUp, WhatTheDaemonWroteBeforeTheHangUpIsKept)
{
    Line line(Line::Kind::Pty);
    line.pause(true);
    const uint8_t bytes[] = {0x01, 0x10, 0x10, 0x02};
    ASSERT_EQ(write(line.daemonFd(), bytes, sizeof bytes), ssize_t(sizeof bytes));
    line.hangUp();
    EXPECT_EQ(line.received(), (std::vector<uint8_t>{0x01, 0x10, 0x02}));
}

} // namespace
} // namespace sim
