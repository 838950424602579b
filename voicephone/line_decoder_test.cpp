#include "line_decoder.h"

#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

namespace {

// Runs bytes through a decoder that persists across calls, as the pump does
// across reads, and spells out what each byte was.
std::string decode(LineDecoder& decoder, const std::vector<uint8_t>& bytes)
{
    std::string out;
    for (uint8_t b : bytes) {
        switch (decodeLineByte(decoder, b)) {
        case LineByte::Audio:
            out += 'a';
            break;
        case LineByte::Escape:
            out += 'e';
            break;
        case LineByte::Code:
            out += 'c';
            break;
        }
    }
    return out;
}

TEST(LineCode, EveryByteValueHasExactlyOneMeaning)
{
    std::map<LineCode, std::string> seen;
    for (int v = 0; v < 256; ++v)
        seen[classifyLineCode(static_cast<uint8_t>(v))] += static_cast<char>(v);
    EXPECT_EQ(seen[LineCode::EndOfData], std::string(1, '\x03'));
    EXPECT_EQ(seen[LineCode::DataDle], std::string(1, '\x10'));
    EXPECT_EQ(seen[LineCode::StopAudioToTty], std::string(1, '\x14'));
    EXPECT_EQ(seen[LineCode::Touchtone], "#*0123456789ABCD");
    EXPECT_EQ(seen[LineCode::Other].size(), 256u - 3 - 16);
    // Lower-case letters are not keys of the keypad.
    EXPECT_EQ(classifyLineCode('a'), LineCode::Other);
    EXPECT_EQ(classifyLineCode('b'), LineCode::Other);
}

TEST(LineDecoder, SeparatesAudioFromCodesAcrossReads)
{
    LineDecoder decoder;
    EXPECT_EQ(decode(decoder, {0x7F, 0x10, 0x10, 0x55}), "aeca"); // DLE DLE: a code standing for 0x10
    // A read that ends with DLE: the first byte of the next read is its code.
    EXPECT_EQ(decode(decoder, {0x22, 0x10}), "ae");
    EXPECT_TRUE(decoder.dlePending);
    EXPECT_EQ(decode(decoder, {'5', 0x10}), "ce");
    EXPECT_EQ(decode(decoder, {0x10}), "c");
    EXPECT_FALSE(decoder.dlePending);
    // A code byte that is itself 0x10 does not start another sequence.
    EXPECT_EQ(decode(decoder, {0x10, 0x10, 0x10, 0x03}), "ecec");
}

} // namespace
