#include "remote_code.h"

#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>

#include "line_decoder.h"

namespace {

struct Keyed {
    std::string code;
    int completions = 0;
};

// Keys every character of `keys` as a DLE code; the application takes each
// complete code at once (codeComplete is never left set).
Keyed key(const std::string& keys)
{
    RemoteCodeCollector collector;
    char code[remoteCodeSize];
    memset(code, 'x', sizeof code);
    code[0] = '\0';
    Keyed result;
    for (char k : keys) {
        if (collectRemoteCode(collector, code, static_cast<uint8_t>(k))) {
            ++result.completions;
            result.code = code;
        }
    }
    if (result.completions == 0)
        result.code = code;
    return result;
}

TEST(RemoteCode, CollectsDigitsBetweenStarAndHash)
{
    EXPECT_EQ(key("*12#").code, "12");
    EXPECT_EQ(key("*12#").completions, 1);
    EXPECT_EQ(key("*12*34#").code, "34");       // a second '*' starts afresh
    EXPECT_EQ(key("*#").completions, 0);        // '#' with no digit is ignored...
    EXPECT_EQ(key("*#5#").code, "5");           // ...and the code stays open
    EXPECT_EQ(key("98*7#").code, "7");          // digits before '*' are not stored
    EXPECT_EQ(key("*1A2B#").code, "12");        // other keys have no effect
    EXPECT_EQ(key("*1#2#").completions, 1);     // after '#' a new code needs a new '*'
    EXPECT_EQ(key("*12345678901234567#").code, "1234567890123456");
}

TEST(RemoteCode, LongerCodeOverwritesFromTheStart)
{
    RemoteCodeCollector collector;
    char code[remoteCodeSize] = {};
    for (char k : std::string("*1234#"))
        collectRemoteCode(collector, code, static_cast<uint8_t>(k));
    for (char k : std::string("*9"))
        collectRemoteCode(collector, code, static_cast<uint8_t>(k));
    EXPECT_STREQ(code, "9"); // the NUL after each digit cuts off the older text
}

// Whatever the line delivers, the code stays within its 17 bytes and
// NUL-terminated.
TEST(RemoteCode, AnyLineStreamKeepsTheCodeBounded)
{
    std::mt19937 random(20261208);
    const std::string alphabet = "*#0123456789\x10\x03";
    for (int round = 0; round < 200; ++round) {
        struct {
            char code[remoteCodeSize];
            char guard[8];
        } block;
        memset(&block, 0x5A, sizeof block);
        block.code[0] = '\0';
        LineDecoder decoder;
        RemoteCodeCollector collector;
        bool complete = false;
        for (int i = 0; i < 400; ++i) {
            uint8_t b = random() % 3 == 0 ? static_cast<uint8_t>(random())
                                          : static_cast<uint8_t>(alphabet[random() % alphabet.size()]);
            if (decodeLineByte(decoder, b) != LineByte::Code)
                continue;
            if (!complete && collectRemoteCode(collector, block.code, b))
                complete = true;
            if (complete && random() % 4 == 0)
                complete = false; // the application takes the code
            ASSERT_NE(memchr(block.code, '\0', remoteCodeSize), nullptr);
            ASSERT_LE(strlen(block.code), remoteCodeMaxDigits);
        }
        for (char g : block.guard)
            ASSERT_EQ(g, 0x5A);
    }
}

} // namespace
