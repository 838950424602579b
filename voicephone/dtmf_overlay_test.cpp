#include "dtmf_overlay.h"

#include <gtest/gtest.h>
#include <numeric>
#include <vector>

#include "dtmf.h"

namespace {

std::vector<uint8_t> tone()
{
    std::vector<uint8_t> t(dtmfToneSamples);
    std::iota(t.begin(), t.end(), uint8_t{0x40}); // distinct from the audio below
    return t;
}

TEST(DtmfOverlay, ToneReplacesTheStartOfThirteenChunksOf160)
{
    const std::vector<uint8_t> t = tone();
    int offset = 0;
    for (int cycle = 1; cycle <= 13; ++cycle) {
        std::vector<uint8_t> chunk(160, 0x01);
        bool done = overlayDtmfTone(offset, t.data(), chunk.data(), 160);
        int from = (cycle - 1) * 160;
        int toneBytes = cycle < 13 ? 160 : 80;
        for (int i = 0; i < 160; ++i)
            ASSERT_EQ(chunk[i], i < toneBytes ? t[from + i] : 0x01) << "cycle " << cycle << " byte " << i;
        EXPECT_EQ(done, cycle == 13);
    }
    EXPECT_EQ(offset, 0);
}

TEST(DtmfOverlay, LargeChunksCarryTheWholeToneAtOnce)
{
    const std::vector<uint8_t> t = tone();
    for (int size : {2000, 2500}) {
        int offset = 0;
        std::vector<uint8_t> chunk(size, 0x01);
        EXPECT_TRUE(overlayDtmfTone(offset, t.data(), chunk.data(), size));
        EXPECT_TRUE(std::equal(t.begin(), t.end(), chunk.begin()));
        EXPECT_EQ(std::count(chunk.begin() + 2000, chunk.end(), 0x01), size - 2000);
        EXPECT_EQ(offset, 0);
    }
}

TEST(DtmfOverlay, FailedOrEmptyReadsLayNothing)
{
    const std::vector<uint8_t> t = tone();
    int offset = 480;
    std::vector<uint8_t> chunk(160, 0x01);
    EXPECT_FALSE(overlayDtmfTone(offset, t.data(), chunk.data(), -1));
    EXPECT_FALSE(overlayDtmfTone(offset, t.data(), chunk.data(), 0));
    EXPECT_EQ(offset, 480);
    EXPECT_EQ(std::count(chunk.begin(), chunk.end(), 0x01), 160);
    // A short read takes only as many tone bytes as it has samples.
    EXPECT_FALSE(overlayDtmfTone(offset, t.data(), chunk.data(), 30));
    EXPECT_EQ(offset, 510);
    EXPECT_EQ(chunk[29], t[509]);
    EXPECT_EQ(chunk[30], 0x01);
}

} // namespace
