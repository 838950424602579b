#include "mixing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

constexpr uint8_t silence = 0xFF;

TEST(MixSample, SilenceOnOneSidePassesTheOtherButForTheTwoCodesThatDecodeToZeroOrClip)
{
    for (int b = 0; b < 256; ++b) {
        auto code = static_cast<uint8_t>(b);
        uint8_t expected = code == 0x7F ? 0xFF : code == 0x00 ? 0x02 : code;
        EXPECT_EQ(mixSample(silence, code), expected) << "outgoing " << b;
        EXPECT_EQ(mixSample(code, silence), expected) << "ingoing " << b;
    }
}

TEST(MixSample, LoudSumsSaturateWithTheirSignAndOppositesCancel)
{
    EXPECT_EQ(mixSample(0x80, 0x80), 0x80); // +32124 twice: positive clip
    EXPECT_EQ(mixSample(0x00, 0x00), 0x02); // -32124 twice: negative clip, zero trap
    EXPECT_EQ(mixSample(0x80, 0x00), 0xFF); // they cancel to 0
    EXPECT_EQ(mixSample(0x81, 0x80), 0x80); // still beyond the clip
    EXPECT_EQ(mixSample(0xFE, 0xFE), 0xFD); // 8 + 8 = 16
}

TEST(MixSamples, MixesEveryInstantAndMayWriteOverAnInput)
{
    std::vector<uint8_t> in(256), out(256), mixed(256);
    for (int i = 0; i < 256; ++i) {
        in[i] = static_cast<uint8_t>(i);
        out[i] = static_cast<uint8_t>(255 - i * 7);
    }
    Word both{0};
    mixSamples(in.data(), out.data(), mixed.data(), in.size(), both);
    for (size_t i = 0; i < in.size(); ++i)
        ASSERT_EQ(mixed[i], mixSample(in[i], out[i])) << i;
    mixSamples(in.data(), out.data(), in.data(), in.size(), both);
    EXPECT_EQ(in, mixed);
}

TEST(MixSamples, OutgoingAlonePassesItsBytesUnchanged)
{
    std::vector<uint8_t> in(256, 0x80), out(256), played(256);
    for (int i = 0; i < 256; ++i)
        out[i] = static_cast<uint8_t>(i);
    Word alone{1};
    mixSamples(in.data(), out.data(), played.data(), out.size(), alone);
    EXPECT_EQ(played, out);
}

TEST(MixCount, OutgoingAloneTakesItsReadElseTheShorterRead)
{
    EXPECT_EQ(mixCount(true, 0, 160), 160u);
    EXPECT_EQ(mixCount(true, 160, 37), 37u);
    EXPECT_EQ(mixCount(false, 160, 37), 37u);
    EXPECT_EQ(mixCount(false, 12, 160), 12u);
    EXPECT_EQ(mixCount(false, 0, 160), 0u);
}

} // namespace
