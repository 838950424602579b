#include "send_spacing.h"

#include <gtest/gtest.h>

using namespace sipline;

TEST(SendSpacing, PercentileOfTheDeviationFrom20ms)
{
    SendSpacing s;
    EXPECT_EQ(s.percentileMs(0.99), 0);
    EXPECT_EQ(s.sends(), 0u);
    int64_t t = 1'000'000'000;
    s.sent(t);
    // 98 gaps exact, one 1.5 ms late, one 7 ms early.
    for (int i = 0; i < 98; i++)
        s.sent(t += 20'000'000);
    s.sent(t += 21'500'000);
    s.sent(t += 13'000'000);
    EXPECT_EQ(s.gaps(), 100u);
    EXPECT_EQ(s.sends(), 101u);
    EXPECT_DOUBLE_EQ(s.percentileMs(0.98), 0.1);
    EXPECT_DOUBLE_EQ(s.percentileMs(0.99), 1.6);
    EXPECT_DOUBLE_EQ(s.worstMs(), 7.0);
    // A percentile is never past the worst gap: the 7 ms one sits in the
    // 7.0-7.1 bin, but nothing was 7.1 ms off.
    EXPECT_DOUBLE_EQ(s.percentileMs(1.0), 7.0);

    // Past the histogram's end only the worst tells how far off it was.
    s.sent(t += 55'000'000);
    EXPECT_DOUBLE_EQ(s.percentileMs(1.0), 35.0);
    EXPECT_DOUBLE_EQ(s.worstMs(), 35.0);
}
