#include "audio_io.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// G.711 µ-law as the standard tabulates it: eight segments of sixteen equal
// intervals, the interval width doubling from one segment to the next.  In
// the standard's 14-bit units segment s runs from 32·2^s − 33 to
// 32·2^(s+1) − 33 in steps of 2^(s+1); on 16-bit samples every value is four
// times that.  A code is the sign bit and the interval number (16·s + step),
// all bits inverted for transmission.
struct G711Reference {
    std::array<long, 128> lowerBound{}; // magnitude where each interval begins

    G711Reference()
    {
        for (int s = 0; s < 8; ++s)
            for (int q = 0; q < 16; ++q)
                lowerBound[16 * s + q] = 4 * ((32L << s) - 33) + q * (8L << s);
        lowerBound[0] = 0; // the standard's first interval holds magnitude 0 alone (0...3 here)
    }

    int interval(long magnitude) const
    {
        // Beyond the last decision level the top interval is kept (overload).
        auto after = std::upper_bound(lowerBound.begin(), lowerBound.end(), magnitude);
        return static_cast<int>(after - lowerBound.begin()) - 1;
    }

    uint8_t encode(long sample) const
    {
        int sign = sample < 0 ? 0x80 : 0;
        uint8_t code = static_cast<uint8_t>(~(sign | interval(sample < 0 ? -sample : sample)));
        return code == 0 ? 0x02 : code; // an all-zero byte is never sent
    }

    // The decoder answers the middle of the code's interval.
    long decode(uint8_t code) const
    {
        int v = ~code & 0xFF;
        int s = (v >> 4) & 7;
        long middle = 4 * ((32L << s) - 33) + (v & 0x0F) * (8L << s) + (4L << s);
        return (v & 0x80) ? -middle : middle;
    }
};

TEST(UlawCodec, KnownValues)
{
    EXPECT_EQ(linearToUlaw(0), 0xFF);
    EXPECT_EQ(linearToUlaw(-1), 0x7F);
    EXPECT_EQ(linearToUlaw(32635), 0x80);
    EXPECT_EQ(linearToUlaw(32767), 0x80);
    EXPECT_EQ(linearToUlaw(-32768), 0x02);
    EXPECT_EQ(ulawToLinear(0xFF), 0);
    EXPECT_EQ(ulawToLinear(0x7F), 0);
    EXPECT_EQ(ulawToLinear(0x80), 32124);
    EXPECT_EQ(ulawToLinear(0x00), -32124);
}

TEST(UlawCodec, AgreesWithTheStandardsSegmentsForEverySixteenBitSampleAndCode)
{
    const G711Reference g711;
    for (int sample = -32768; sample <= 32767; ++sample)
        ASSERT_EQ(linearToUlaw(sample), g711.encode(sample)) << "sample " << sample;
    for (int code = 0; code < 256; ++code)
        ASSERT_EQ(ulawToLinear(static_cast<uint8_t>(code)), g711.decode(static_cast<uint8_t>(code)))
            << "code " << code;
}

TEST(UlawCodec, EveryCodeSurvivesDecodeAndEncodeButNegativeZeroAndTheZeroTrap)
{
    for (int code = 0; code < 256; ++code) {
        uint8_t expected = code == 0x7F ? 0xFF : code == 0x00 ? 0x02 : static_cast<uint8_t>(code);
        EXPECT_EQ(linearToUlaw(ulawToLinear(static_cast<uint8_t>(code))), expected) << "code " << code;
    }
}

// The playback mixer hands the encoder sums of two decoded samples.
TEST(UlawCodec, SumsBeyondSixteenBitsClipWithTheirSign)
{
    const uint8_t loudest = 0x80;
    const uint8_t loudestNegative = 0x02; // 0x00, moved by the zero trap
    for (int sum : {32636, 32768, 2 * 32124, 100000, INT_MAX})
        EXPECT_EQ(linearToUlaw(sum), loudest) << sum;
    for (int sum : {-32636, -32769, -2 * 32124, -100000, INT_MIN})
        EXPECT_EQ(linearToUlaw(sum), loudestNegative) << sum;
}

struct Pipe {
    int readEnd = -1;
    int writeEnd = -1;
    explicit Pipe(int flags = 0)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | flags) == 0) {
            readEnd = fds[0];
            writeEnd = fds[1];
        }
    }
    ~Pipe()
    {
        if (readEnd >= 0)
            close(readEnd);
        if (writeEnd >= 0)
            close(writeEnd);
    }
    int queued() const
    {
        int n = -1;
        ioctl(readEnd, FIONREAD, &n);
        return n;
    }
};

// Sends standard error to a memory file while it lives.
class CapturedStderr {
public:
    CapturedStderr()
    {
        fflush(stderr);
        file_ = memfd_create("stderr", MFD_CLOEXEC);
        saved_ = dup(STDERR_FILENO);
        dup2(file_, STDERR_FILENO);
    }
    ~CapturedStderr() { restore(); }
    std::string text()
    {
        restore();
        std::string s;
        char buf[512];
        ssize_t n;
        for (off_t at = 0; (n = pread(file_, buf, sizeof buf, at)) > 0; at += n)
            s.append(buf, static_cast<size_t>(n));
        return s;
    }

private:
    void restore()
    {
        if (saved_ < 0)
            return;
        fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        saved_ = -1;
    }
    int file_ = -1;
    int saved_ = -1;
};

class WrapMode : public testing::Test {
protected:
    void TearDown() override { setWrapMode(WrapUlaw); }
};

void putSample(uint8_t* at, int16_t sample)
{
    at[0] = static_cast<uint8_t>(sample & 0xFF);
    at[1] = static_cast<uint8_t>((static_cast<uint16_t>(sample) >> 8) & 0xFF);
}

TEST_F(WrapMode, LinearReadKeepsAnOddByteForTheNextReadFromTheSameDevice)
{
    setWrapMode(WrapLinear16);
    Pipe device(O_NONBLOCK);
    Pipe other;
    uint8_t raw[5];
    putSample(raw, 1000);
    putSample(raw + 2, -20000);
    raw[4] = 0x34; // the low byte of 0x1234; its high byte comes later
    ASSERT_EQ(write(device.writeEnd, raw, sizeof raw), 5);

    uint8_t got[8];
    std::fill(std::begin(got), std::end(got), 0xEE);
    EXPECT_EQ(readAudio(device.readEnd, got, 8), 2);
    EXPECT_EQ(got[0], linearToUlaw(1000));
    EXPECT_EQ(got[1], linearToUlaw(-20000));
    EXPECT_EQ(got[2], 0xEE);
    EXPECT_EQ(device.queued(), 0);

    // Another descriptor's whole samples leave the held byte alone.
    uint8_t whole[2];
    putSample(whole, 300);
    ASSERT_EQ(write(other.writeEnd, whole, 2), 2);
    EXPECT_EQ(readAudio(other.readEnd, got, 8), 1);
    EXPECT_EQ(got[0], linearToUlaw(300));

    // Nothing new yet: not the end of the device, and the byte is kept.
    errno = 0;
    EXPECT_EQ(readAudio(device.readEnd, got, 8), -1);
    EXPECT_EQ(errno, EAGAIN);

    // The held byte goes in front of the next read, so no sample is split
    // (the old way swapped the bytes of every sample after an odd read).
    uint8_t rest[3];
    rest[0] = 0x12;
    putSample(rest + 1, -5);
    ASSERT_EQ(write(device.writeEnd, rest, sizeof rest), 3);
    std::fill(std::begin(got), std::end(got), 0xEE);
    EXPECT_EQ(readAudio(device.readEnd, got, 2), 2);
    EXPECT_EQ(got[0], linearToUlaw(0x1234));
    EXPECT_EQ(got[1], linearToUlaw(-5));
    EXPECT_EQ(device.queued(), 0);
}

TEST_F(WrapMode, LinearReadPassesEndOfFileAndErrorsThrough)
{
    setWrapMode(WrapLinear16);
    uint8_t got[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    {
        Pipe empty(O_NONBLOCK);
        errno = 0;
        EXPECT_EQ(readAudio(empty.readEnd, got, 4), -1);
        EXPECT_EQ(errno, EAGAIN);
    }
    {
        Pipe closed;
        close(closed.writeEnd);
        closed.writeEnd = -1;
        EXPECT_EQ(readAudio(closed.readEnd, got, 4), 0);
    }
    EXPECT_EQ(got[0], 0xEE);
}

TEST_F(WrapMode, LinearWriteSendsLittleEndianSamplesAndCountsWholeOnes)
{
    setWrapMode(WrapLinear16);
    Pipe device;
    const uint8_t codes[3] = {0x80, 0x00, 0x9A};
    ASSERT_EQ(writeAudio(device.writeEnd, codes, 3), 3);
    uint8_t raw[6];
    ASSERT_EQ(read(device.readEnd, raw, sizeof raw), 6);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(static_cast<int16_t>(raw[2 * i] | raw[2 * i + 1] << 8), ulawToLinear(codes[i]));
}

// The file size limit cuts a write short at an odd byte: only whole samples count.
TEST_F(WrapMode, LinearShortWriteCountsOnlyWholeSamples)
{
    setWrapMode(WrapLinear16);
    FILE* file = tmpfile();
    ASSERT_NE(file, nullptr);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 1001;
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);

    uint8_t codes[2500];
    std::fill(std::begin(codes), std::end(codes), 0x80);
    int first = writeAudio(fileno(file), codes, 2500);
    errno = 0;
    int second = writeAudio(fileno(file), codes, 10);
    int secondErrno = errno;

    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    fclose(file);
    EXPECT_EQ(first, 500);
    EXPECT_EQ(second, -1);
    EXPECT_EQ(secondErrno, EFBIG);
}

TEST_F(WrapMode, LinearWriteToAFullDevicePassesTheErrorThrough)
{
    setWrapMode(WrapLinear16);
    Pipe device(O_NONBLOCK);
    char block[4096] = {};
    while (write(device.writeEnd, block, sizeof block) > 0) {
    }
    uint8_t codes[10] = {};
    errno = 0;
    EXPECT_EQ(writeAudio(device.writeEnd, codes, 10), -1);
    EXPECT_EQ(errno, EAGAIN);
}

// A write of nothing to a closed descriptor would fail with EBADF: no call
// reaching the system is the only way to get 0 back.
TEST_F(WrapMode, WritingNoSamplesMakesNoSystemCallInLinearMode)
{
    int closedFd;
    {
        Pipe gone;
        closedFd = gone.writeEnd;
    }
    uint8_t none[1] = {0};
    setWrapMode(WrapUlaw);
    EXPECT_EQ(writeAudio(closedFd, none, 0), -1); // µ-law mode does call write
    EXPECT_EQ(errno, EBADF);
    setWrapMode(WrapLinear16);
    errno = 0;
    EXPECT_EQ(writeAudio(closedFd, none, 0), 0);
    EXPECT_EQ(errno, 0);
}

TEST_F(WrapMode, UlawModeMovesBytesUnchanged)
{
    setWrapMode(WrapUlaw);
    Pipe device;
    const uint8_t codes[4] = {0x00, 0x7F, 0x80, 0xFF};
    ASSERT_EQ(writeAudio(device.writeEnd, codes, 4), 4);
    uint8_t got[8] = {};
    ASSERT_EQ(readAudio(device.readEnd, got, 8), 4);
    EXPECT_TRUE(std::equal(codes, codes + 4, got));
}

// A pipe stands in for the device: its room is capacity minus queued bytes.
TEST_F(WrapMode, SpaceOnAPipeCountsTwoBytesPerSampleInLinearMode)
{
    Pipe device;
    int capacity = fcntl(device.writeEnd, F_SETPIPE_SZ, 4096);
    ASSERT_GT(capacity, 800);
    std::string fill(capacity - 800, 'x');
    ASSERT_EQ(write(device.writeEnd, fill.data(), fill.size()), static_cast<ssize_t>(fill.size()));

    setWrapMode(WrapLinear16);
    EXPECT_TRUE(audioSpaceFor(device.writeEnd, 400));
    EXPECT_FALSE(audioSpaceFor(device.writeEnd, 401));
    setWrapMode(WrapUlaw);
    EXPECT_TRUE(audioSpaceFor(device.writeEnd, 800));
    EXPECT_FALSE(audioSpaceFor(device.writeEnd, 801));
}

TEST_F(WrapMode, SpaceOnASocketFollowsWhatThePeerHasNotTaken)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
    int sendBuffer = 0;
    socklen_t len = sizeof sendBuffer;
    ASSERT_EQ(getsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &sendBuffer, &len), 0);

    setWrapMode(WrapUlaw);
    EXPECT_TRUE(audioSpaceFor(pair[0], 1000));
    EXPECT_FALSE(audioSpaceFor(pair[0], sendBuffer + 1));

    char block[4096] = {};
    while (write(pair[0], block, sizeof block) > 0) {
    }
    EXPECT_FALSE(audioSpaceFor(pair[0], 1));
    while (read(pair[1], block, sizeof block) > 0) {
    }
    EXPECT_TRUE(audioSpaceFor(pair[0], 1000));
    close(pair[0]);
    close(pair[1]);
}

TEST_F(WrapMode, RegularFilesAndOtherCharacterDevicesAlwaysHaveRoom)
{
    setWrapMode(WrapLinear16);
    FILE* file = tmpfile();
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(audioSpaceFor(fileno(file), maxChunkSize));
    EXPECT_TRUE(audioSpaceFor(fileno(file), INT_MAX));
    fclose(file);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(null, 0);
    EXPECT_TRUE(audioSpaceFor(null, maxChunkSize));
    close(null);
}

TEST_F(WrapMode, AnUnsupportedModeIsReportedOnEveryCallAndTouchesNothing)
{
    Pipe device;
    ASSERT_EQ(write(device.writeEnd, "abcd", 4), 4);
    uint8_t buffer[4] = {1, 2, 3, 4};
    setWrapMode(8);
    CapturedStderr err;
    EXPECT_EQ(readAudio(device.readEnd, buffer, 4), -1);
    EXPECT_EQ(writeAudio(device.writeEnd, buffer, 4), -1);
    EXPECT_FALSE(audioSpaceFor(device.writeEnd, 1));
    EXPECT_EQ(err.text(), "Wrap mode 8 not implemented\n"
                          "Wrap mode 8 not implemented\n"
                          "Wrap mode 8 not implemented\n");
    EXPECT_EQ(device.queued(), 4);
    EXPECT_EQ(buffer[0], 1);
}

} // namespace
