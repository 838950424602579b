#include "tape_wav.h"

#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include "audio_io.h"
#include "scratch_dir.h"

namespace callctl {
namespace {

class TapeWav : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.empty());
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    kit::ScratchDir scratch_;
    std::string dir_ = scratch_.path();
};

std::vector<uint8_t> everyByte(size_t length)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
    return bytes;
}

TEST_F(TapeWav, MonoRoundTripIsByteExactForEveryCode)
{
    // Every code, including the two zeros 0x7F and 0xFF and 0x00, which a
    // decode and re-encode would change.
    std::vector<uint8_t> tape = everyByte(8000 + 3), back;
    std::string error;
    ASSERT_TRUE(writeWholeFile(path("a.ul"), tape, &error)) << error;
    ASSERT_TRUE(exportMono(path("a.ul"), path("a.wav"), WavEncoding::Ulaw, &error)) << error;
    ASSERT_TRUE(importMono(path("a.wav"), path("b.ul"), &error)) << error;
    ASSERT_TRUE(readWholeFile(path("b.ul"), &back, &error)) << error;
    EXPECT_EQ(back, tape);

    // Other readers decode it as 8 kHz µ-law audio.
    SF_INFO info{};
    SNDFILE* f = sf_open(path("a.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.samplerate, 8000);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_ULAW);
    std::vector<short> pcm(tape.size());
    EXPECT_EQ(sf_read_short(f, pcm.data(), static_cast<sf_count_t>(pcm.size())), static_cast<sf_count_t>(tape.size()));
    sf_close(f);
    for (size_t i = 0; i < tape.size(); ++i)
        ASSERT_EQ(pcm[i], ulawToLinear(tape[i])) << i;
}

TEST_F(TapeWav, PairRoundTripKeepsSidesAndPadsTheShorterWithSilence)
{
    std::vector<uint8_t> in = everyByte(1000), out(600, 0x10), in2, out2;
    std::string error;
    ASSERT_TRUE(writeWholeFile(path("in.ul"), in, &error));
    ASSERT_TRUE(writeWholeFile(path("out.ul"), out, &error));
    ASSERT_TRUE(exportPair(path("in.ul"), path("out.ul"), path("call.wav"), WavEncoding::Ulaw, &error)) << error;
    ASSERT_TRUE(importPair(path("call.wav"), path("in2.ul"), path("out2.ul"), &error)) << error;
    ASSERT_TRUE(readWholeFile(path("in2.ul"), &in2, &error));
    ASSERT_TRUE(readWholeFile(path("out2.ul"), &out2, &error));
    EXPECT_EQ(in2, in);
    ASSERT_EQ(out2.size(), 1000u);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), out2.begin()));
    EXPECT_TRUE(std::all_of(out2.begin() + 600, out2.end(), [](uint8_t b) { return b == ulawSilence; }));
}

TEST_F(TapeWav, ImportResamplesAndEncodesAnyWav)
{
    // One second of a 1 kHz tone at 44.1 kHz, 16-bit, half scale.
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path("tone.wav").c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    std::vector<short> tone(44100);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<short>(16384 * std::sin(2 * M_PI * 1000 * i / 44100.0));
    sf_write_short(f, tone.data(), static_cast<sf_count_t>(tone.size()));
    sf_close(f);

    std::string error;
    ASSERT_TRUE(importMono(path("tone.wav"), path("tone.ul"), &error)) << error;
    std::vector<uint8_t> ul;
    ASSERT_TRUE(readWholeFile(path("tone.ul"), &ul, &error));
    EXPECT_NEAR(static_cast<double>(ul.size()), 8000.0, 2.0);
    // At 8 kHz a 1 kHz tone repeats every 8 samples, at the same level.
    double peak = 0, periodError = 0;
    for (size_t i = 1000; i < 7000; ++i) {
        peak = std::max(peak, std::abs(static_cast<double>(ulawToLinear(ul[i]))));
        periodError += std::abs(ulawToLinear(ul[i]) - ulawToLinear(ul[i + 8]));
    }
    EXPECT_NEAR(peak, 16384, 16384 * 0.08);
    EXPECT_LT(periodError / 6000, 16384 * 0.05);

    // A mono file is not a tape pair; the message says why.
    EXPECT_FALSE(importPair(path("tone.wav"), path("i.ul"), path("o.ul"), &error));
    EXPECT_NE(error.find("needs a stereo WAV"), std::string::npos) << error;
}

TEST_F(TapeWav, FailuresNameTheFile)
{
    std::string error;
    EXPECT_FALSE(exportMono(path("missing.ul"), path("x.wav"), WavEncoding::Ulaw, &error));
    EXPECT_NE(error.find("missing.ul"), std::string::npos);
    ASSERT_TRUE(writeWholeFile(path("junk.wav"), {'n', 'o', 't', ' ', 'a', ' ', 'w', 'a', 'v'}, &error));
    EXPECT_FALSE(importMono(path("junk.wav"), path("x.ul"), &error));
    EXPECT_NE(error.find("junk.wav"), std::string::npos);
}

TEST(UlawSamples, EncodeClipsAndMatchesTheCodec)
{
    std::vector<uint8_t> codes = encodeUlaw({0.0f, 2.0f, -2.0f, 0.5f});
    EXPECT_EQ(codes[0], 0xFF);
    EXPECT_EQ(codes[1], 0x80);
    EXPECT_EQ(codes[2], linearToUlaw(-32768));
    EXPECT_EQ(codes[3], linearToUlaw(16384));
    EXPECT_FLOAT_EQ(decodeUlaw({0x80})[0], 32124.0f / 32768.0f);
}

} // namespace
} // namespace callctl
