#include "dtmf.h"

#include <algorithm>
#include <array>
#include <gtest/gtest.h>
#include <numeric>
#include <vector>

extern "C" {
#include <spandsp.h>
}

#include "audio_io.h"

namespace {

constexpr char keypad[] = "123A456B789C*0#D";

using Tone = std::array<uint8_t, dtmfToneSamples>;

Tone toneOf(char key)
{
    Tone tone{};
    EXPECT_EQ(generateDtmfTone(tone.data(), key), dtmfToneSamples) << key;
    return tone;
}

long byteSum(const Tone& tone) { return std::accumulate(tone.begin(), tone.end(), 0L); }

// The first samples of a tone, as the bytes they must have become.
void expectBeginsWith(const Tone& tone, std::initializer_list<int> samples)
{
    size_t n = 0;
    for (int sample : samples) {
        EXPECT_EQ(tone[n], linearToUlaw(sample)) << "sample " << n << " should be " << sample;
        ++n;
    }
}

TEST(DtmfTone, KnownKeysRenderTheirSamples)
{
    Tone one = toneOf('1');
    expectBeginsWith(one, {0, 10923, 15034, 10535, 1671, -4962});
    const uint8_t oneBytes[] = {0xFF, 0x9A, 0x92, 0x9B, 0xC3, 0x2C};
    EXPECT_TRUE(std::equal(std::begin(oneBytes), std::end(oneBytes), one.begin()));
    EXPECT_EQ(byteSum(one), 221089);
    EXPECT_EQ(one.back(), 0x98);

    expectBeginsWith(toneOf('*'), {0, 12177, 15909, 8904, -3490, -12493});

    Tone d = toneOf('D');
    expectBeginsWith(d, {0, 13370, 12620, 1223, -5976, -3248});
    EXPECT_EQ(byteSum(d), 221086);
    EXPECT_EQ(d.back(), 0x9F);
}

// Two tones of 8191 stay within ±16382; through µ-law that means no byte
// stands for more than the code of 16382 does.
TEST(DtmfTone, EveryKeyStartsAtZeroAndStaysWithinTwoAmplitudes)
{
    const int loudest = ulawToLinear(linearToUlaw(16382));
    for (const char* key = keypad; *key; ++key) {
        Tone tone = toneOf(*key);
        EXPECT_EQ(tone[0], 0xFF) << *key;
        auto [low, high] = std::minmax_element(tone.begin(), tone.end(), [](uint8_t a, uint8_t b) {
            return ulawToLinear(a) < ulawToLinear(b);
        });
        EXPECT_GE(ulawToLinear(*low), -loudest) << *key;
        EXPECT_LE(ulawToLinear(*high), loudest) << *key;
    }
}

// An independent receiver hears the right key in every tone.
TEST(DtmfTone, AReceiverHearsEachKey)
{
    for (const char* key = keypad; *key; ++key) {
        Tone tone = toneOf(*key);
        std::vector<int16_t> linear(tone.size() + 800, 0); // trailing silence ends the digit
        std::transform(tone.begin(), tone.end(), linear.begin(),
                       [](uint8_t b) { return static_cast<int16_t>(ulawToLinear(b)); });

        dtmf_rx_state_t* receiver = dtmf_rx_init(nullptr, nullptr, nullptr);
        ASSERT_NE(receiver, nullptr);
        dtmf_rx(receiver, linear.data(), static_cast<int>(linear.size()));
        char heard[8] = {};
        size_t n = dtmf_rx_get(receiver, heard, sizeof heard - 1);
        dtmf_rx_free(receiver);
        EXPECT_EQ(n, 1u) << "key " << *key << " heard as \"" << heard << "\"";
        EXPECT_EQ(heard[0], *key);
    }
}

TEST(DtmfTone, NonKeysWriteNothing)
{
    for (char key : {'a', 'd', 'E', ' ', '\0', '\xB1'}) {
        Tone tone;
        tone.fill(0x5A);
        EXPECT_EQ(generateDtmfTone(tone.data(), key), -1) << static_cast<int>(key);
        EXPECT_TRUE(std::all_of(tone.begin(), tone.end(), [](uint8_t b) { return b == 0x5A; }));
    }
}

} // namespace
