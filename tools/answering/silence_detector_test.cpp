#include "silence_detector.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <random>
#include <vector>

#include "audio_io.h"

namespace callctl {
namespace {

constexpr uint64_t second = 8000;

// Synthetic line audio, built up piece by piece at 8 kHz µ-law.
class Line {
public:
    explicit Line(double hissDbfs = -200) : hiss_(std::pow(10.0, hissDbfs / 20) * 32768) {}

    Line& quiet(double seconds) { return add(seconds, [](double) { return 0.0; }); }
    // Noise shaped into syllables: 150 ms voiced, 100 ms between words.
    Line& talk(double seconds, double dbfs = -20)
    {
        double a = std::pow(10.0, dbfs / 20) * 32768;
        return add(seconds, [&, a](double t) {
            double inSyllable = std::fmod(t, 0.25);
            return inSyllable < 0.15 ? a * std::sin(M_PI * inSyllable / 0.15) * gauss() : 0.0;
        });
    }
    Line& tone(double seconds, double f1, double f2, double dbfs)
    {
        double a = std::pow(10.0, dbfs / 20) * 32768;
        return add(seconds, [&, a, f1, f2](double t) {
            return a * (std::sin(2 * M_PI * f1 * t) + (f2 > 0 ? std::sin(2 * M_PI * f2 * t) : 0.0));
        });
    }
    Line& click(int length, double amplitude = 30000)
    {
        for (int i = 0; i < length; ++i)
            bytes_.push_back(linearToUlaw(static_cast<int>(i % 2 ? -amplitude : amplitude)));
        return *this;
    }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    template <typename F> Line& add(double seconds, F signal)
    {
        auto n = static_cast<size_t>(seconds * second);
        for (size_t i = 0; i < n; ++i) {
            double t = static_cast<double>(i) / second;
            double x = signal(t) + hiss_ * gauss();
            bytes_.push_back(linearToUlaw(static_cast<int>(std::lround(std::clamp(x, -32767.0, 32767.0)))));
        }
        return *this;
    }
    double gauss() { return normal_(random_); }

    double hiss_;
    std::mt19937 random_{8000};
    std::normal_distribution<double> normal_{0.0, 1.0};
    std::vector<uint8_t> bytes_;
};

// The longest silence the detector reported while the audio went by.
uint64_t longestSilence(SilenceDetector& d, const std::vector<uint8_t>& audio, size_t from = 0)
{
    uint64_t longest = 0;
    for (size_t i = from; i < audio.size(); i += 160) {
        d.feed(audio.data() + i, std::min<size_t>(160, audio.size() - i));
        longest = std::max(longest, d.silentSamples());
    }
    return longest;
}

TEST(SilenceDetector, DigitalSilenceCountsSampleForSample)
{
    SilenceDetector d;
    std::vector<uint8_t> silence(8 * second - 160, 0xFF);
    d.feed(silence.data(), silence.size());
    EXPECT_FALSE(d.silentFor(8 * second));
    d.feed(silence.data(), 160);
    EXPECT_TRUE(d.silentFor(8 * second));
    EXPECT_EQ(d.silentSamples(), 8 * second);
}

TEST(SilenceDetector, SpeechOverAQuietLineIsNeverSilence)
{
    Line line(-55);
    line.talk(20);
    SilenceDetector d;
    EXPECT_LE(longestSilence(d, line.bytes()), second / 2) << "pauses between words are not the end";
}

TEST(SilenceDetector, QuietSpeechOverANoisyLineIsStillSpeech)
{
    Line line(-45);
    line.quiet(3).talk(15, -28);
    SilenceDetector d;
    const std::vector<uint8_t>& audio = line.bytes();
    d.feed(audio.data(), 3 * second);
    EXPECT_GE(d.silentSamples(), 2 * second) << "the hiss alone is silence";
    d.feed(audio.data() + 3 * second, 1200); // to the end of the first syllable
    EXPECT_EQ(d.silentSamples(), 0u) << "the first syllable is sound";
    EXPECT_LE(longestSilence(d, audio, 3 * second + 1200), second / 2);
}

TEST(SilenceDetector, SilenceIsMeasuredFromTheLastWordsWhateverTheNoise)
{
    for (double hiss : {-200.0, -60.0, -40.0, -32.0}) {
        Line line(hiss);
        line.talk(5).quiet(9);
        SilenceDetector d;
        std::vector<uint8_t> audio = line.bytes();
        d.feed(audio.data(), 5 * second + second / 2);
        EXPECT_LE(d.silentSamples(), second) << "hiss " << hiss << " dBFS: just after the words";
        d.feed(audio.data() + 5 * second + second / 2, audio.size() - 5 * second - second / 2);
        EXPECT_TRUE(d.silentFor(8 * second)) << "hiss " << hiss << " dBFS: silent for " << d.silentSamples();
    }
}

TEST(SilenceDetector, ClicksOnTheLineAreNotSound)
{
    Line line(-55);
    line.talk(2);
    std::mt19937 random(3);
    // Isolated crackles, up to 5 ms long, 100 to 350 ms apart.
    for (int i = 0; i < 40; ++i)
        line.quiet(0.1 + 0.25 * (random() % 1000) / 1000.0).click(1 + static_cast<int>(random() % 40));
    line.quiet(0.5);
    SilenceDetector d;
    longestSilence(d, line.bytes());
    EXPECT_GE(d.silentSamples(), 9 * second) << "40 crackles over ~9 s after the words";
}

TEST(SilenceDetector, ATouchtoneIsTheCallerActingAndLeavesTheFloorAlone)
{
    Line line(-50);
    line.quiet(5).tone(0.1, 697, 1209, -10).quiet(1);
    SilenceDetector d;
    const std::vector<uint8_t>& audio = line.bytes();
    d.feed(audio.data(), 5 * second);
    EXPECT_EQ(d.silentSamples(), 5 * second);
    double floorBefore = d.noiseFloor();
    d.feed(audio.data() + 5 * second, audio.size() - 5 * second);
    EXPECT_GE(d.silentSamples(), 900 * second / 1000) << "silence counts again right after the key";
    EXPECT_LE(d.silentSamples(), 1000 * second / 1000) << "the key's tone was sound";
    EXPECT_LT(d.noiseFloor(), floorBefore * 2) << "the floor did not follow the tone up";

    d.noteActivity();
    EXPECT_EQ(d.silentSamples(), 0u) << "a key the line reported out of band";
}

TEST(SilenceDetector, AToneThatNeverEndsBecomesSilence)
{
    // A line left open on a steady tone must not keep the recording going
    // to its limit.
    Line line(-60);
    line.talk(3).tone(20, 425, 0, -15);
    SilenceDetector d;
    longestSilence(d, line.bytes());
    EXPECT_TRUE(d.silentFor(8 * second)) << d.silentSamples();
}

TEST(SilenceDetector, FramesAcrossFeedsCountTheSame)
{
    Line line(-50);
    line.talk(2).quiet(3).talk(1).quiet(2);
    SilenceDetector whole, pieces;
    whole.feed(line.bytes().data(), line.bytes().size());
    std::mt19937 random(1);
    for (size_t i = 0; i < line.bytes().size();) {
        size_t n = std::min<size_t>(1 + random() % 333, line.bytes().size() - i);
        pieces.feed(line.bytes().data() + i, n);
        i += n;
    }
    EXPECT_EQ(whole.silentSamples(), pieces.silentSamples());
    EXPECT_DOUBLE_EQ(whole.noiseFloor(), pieces.noiseFloor());
    EXPECT_GE(whole.silentSamples(), 2 * second - 2 * 160);
}

} // namespace
} // namespace callctl
