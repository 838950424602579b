#include "voice_signal.h"

#include <cmath>
#include <gtest/gtest.h>

namespace callctl {
namespace {

double rms(const std::vector<int16_t>& s, size_t from, size_t count)
{
    double sum = 0;
    for (size_t i = from; i < from + count; ++i)
        sum += static_cast<double>(s[i]) * s[i];
    return std::sqrt(sum / static_cast<double>(count));
}

TEST(VoiceSignal, SameSeedSameVoiceOtherSeedOtherVoice)
{
    VoiceSignal a(7, 120), b(7, 120), c(8, 120);
    std::vector<int16_t> first = a.linear(16000);
    EXPECT_EQ(first, b.linear(16000));
    EXPECT_NE(first, c.linear(16000));
    // Rendering in pieces continues the same signal.
    VoiceSignal d(7, 120);
    std::vector<int16_t> pieces = d.linear(5000), rest = d.linear(11000);
    pieces.insert(pieces.end(), rest.begin(), rest.end());
    EXPECT_EQ(pieces, first);
}

TEST(VoiceSignal, TalksInPhrasesWithPausesAtSpeechLevels)
{
    VoiceSignal v(3, 120);
    std::vector<int16_t> s = v.linear(8000 * 20);
    size_t quiet = 0, loud = 0, windows = s.size() / 400;
    int16_t peak = 0;
    for (size_t w = 0; w < windows; ++w) {
        double level = rms(s, w * 400, 400);
        quiet += level < 100;
        loud += level > 1000;
    }
    for (int16_t x : s)
        peak = std::max<int16_t>(peak, static_cast<int16_t>(std::abs(x)));
    // Pauses and syllables both make up a good share of 50 ms windows.
    EXPECT_GT(quiet, windows / 10);
    EXPECT_LT(quiet, windows / 2);
    EXPECT_GT(loud, windows / 4);
    EXPECT_GT(peak, 8000);
    EXPECT_LT(peak, 32000); // never clipped
}

TEST(VoiceSignal, VoicedPartsRepeatAtTheVoicePitch)
{
    // The autocorrelation of a loud stretch peaks at one pitch period.
    for (double pitch : {110.0, 210.0}) {
        VoiceSignal v(11, pitch);
        std::vector<int16_t> s = v.linear(8000 * 10);
        size_t best = 0;
        double bestLevel = 0;
        for (size_t w = 0; w + 800 < s.size(); w += 200) {
            double level = rms(s, w, 800);
            if (level > bestLevel) {
                bestLevel = level;
                best = w;
            }
        }
        size_t bestLag = 0;
        double bestCorrelation = -1e300;
        for (size_t lag = 20; lag < 120; ++lag) {
            double c = 0;
            for (size_t i = best; i < best + 600; ++i)
                c += static_cast<double>(s[i]) * s[i + lag];
            if (c > bestCorrelation) {
                bestCorrelation = c;
                bestLag = lag;
            }
        }
        double found = 8000.0 / static_cast<double>(bestLag);
        EXPECT_GT(found, pitch * 0.7) << pitch;
        EXPECT_LT(found, pitch * 1.6) << pitch;
    }
}

} // namespace
} // namespace callctl
