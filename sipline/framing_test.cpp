#include "framing.h"

#include <gtest/gtest.h>

using namespace sipline;

TEST(Framing, DoublesEveryDleAndFramesCodes)
{
    std::vector<uint8_t> out;
    appendDoubled(std::vector<uint8_t>{0x01, DLE, 0x03, DLE, DLE}, out);
    appendCode('5', out);
    EXPECT_EQ(out, (std::vector<uint8_t>{0x01, DLE, DLE, 0x03, DLE, DLE, DLE, DLE, DLE, '5'}));
}

TEST(Framing, WritesAreCutOnlyBetweenUnits)
{
    std::vector<uint8_t> framed;
    appendDoubled(std::vector<uint8_t>{0x20, DLE, 0x21}, framed); // 20 10 10 21
    appendCode(ETX, framed);                                      // 10 03
    EXPECT_EQ(pairSafeLength(framed, 1), 1u);
    EXPECT_EQ(pairSafeLength(framed, 2), 1u); // would end inside the doubled DLE
    EXPECT_EQ(pairSafeLength(framed, 3), 3u);
    EXPECT_EQ(pairSafeLength(framed, 5), 4u); // would split DLE ETX
    EXPECT_EQ(pairSafeLength(framed, 6), 6u);
    EXPECT_EQ(pairSafeLength(framed, 100), 6u);
    EXPECT_EQ(pairSafeLength(framed, 0), 0u);
}

TEST(Framing, UndoublesAcrossReadsAndDropsCodes)
{
    Undoubler u;
    std::vector<uint8_t> audio;
    u.feed(std::vector<uint8_t>{0x30, DLE}, audio);
    u.feed(std::vector<uint8_t>{DLE, 0x31, DLE}, audio);
    u.feed(std::vector<uint8_t>{'7', 0x32}, audio);
    EXPECT_EQ(audio, (std::vector<uint8_t>{0x30, DLE, 0x31, 0x32}));
    EXPECT_EQ(u.codes(), 1u);
}

TEST(Framing, EveryByteValueSurvivesTheRoundTrip)
{
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; i++)
        all[i] = static_cast<uint8_t>(i);
    std::vector<uint8_t> framed;
    appendDoubled(all, framed);
    ASSERT_EQ(framed.size(), 257u);
    Undoubler u;
    std::vector<uint8_t> back;
    // Byte by byte: every possible read boundary.
    for (uint8_t b : framed)
        u.feed(std::span<const uint8_t>(&b, 1), back);
    EXPECT_EQ(back, all);
    EXPECT_EQ(u.codes(), 0u);
}
