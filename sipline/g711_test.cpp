#include "g711.h"

#define HAVE_STDBOOL_H 1
#include <re/re.h>
#include <rem/rem.h>

#include <cstdlib>
#include <gtest/gtest.h>

using namespace sipline;

TEST(G711, PcmuPassesUntouched)
{
    std::vector<uint8_t> s = {0x00, 0x10, 0x7F, 0xFF};
    auto before = s;
    toUlaw(Codec::Pcmu, s);
    fromUlaw(Codec::Pcmu, s);
    EXPECT_EQ(s, before);
}

TEST(G711, AlawToUlawKeepsTheLevel)
{
    for (int a = 0; a < 256; a++) {
        uint8_t s = static_cast<uint8_t>(a);
        toUlaw(Codec::Pcma, std::span<uint8_t>(&s, 1));
        int want = g711_alaw2pcm(static_cast<uint8_t>(a));
        int got = g711_ulaw2pcm(s);
        // µ-law steps are at most 1/16 of the level (plus the smallest step).
        EXPECT_LE(std::abs(got - want), std::abs(want) / 16 + 16) << "A-law byte " << a;
        EXPECT_EQ(got < 0, want < 0) << "A-law byte " << a;
    }
}

TEST(G711, UlawToAlawAndBackIsStableAfterOneTrip)
{
    // Transcoding is lossy once; a second trip must not drift further.
    for (int u = 0; u < 256; u++) {
        uint8_t once = static_cast<uint8_t>(u);
        fromUlaw(Codec::Pcma, std::span<uint8_t>(&once, 1));
        toUlaw(Codec::Pcma, std::span<uint8_t>(&once, 1));
        uint8_t twice = once;
        fromUlaw(Codec::Pcma, std::span<uint8_t>(&twice, 1));
        toUlaw(Codec::Pcma, std::span<uint8_t>(&twice, 1));
        EXPECT_EQ(twice, once) << "µ-law byte " << u;
    }
}
