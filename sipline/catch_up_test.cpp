#include "catch_up.h"

#include <gtest/gtest.h>

namespace sipline {
namespace {

TEST(CatchUp, EveryFrameThatPassedIsAccountedForAndOnlyTheNewestAreSent)
{
    // On time: one frame, sent.
    CatchUp one = planCatchUp(1, 5, 100);
    EXPECT_EQ(one.served, 1u);
    EXPECT_EQ(one.sendFrom, 0u);
    EXPECT_EQ(one.skipped, 0u);

    // A short hold-up: all frames sent.
    CatchUp three = planCatchUp(3, 5, 100);
    EXPECT_EQ(three.served, 3u);
    EXPECT_EQ(three.sendFrom, 0u);

    // 300 ms held up: 15 frames served, the newest 5 sent, none unserved.
    CatchUp stall = planCatchUp(15, 5, 100);
    EXPECT_EQ(stall.served, 15u);
    EXPECT_EQ(stall.sendFrom, 10u);
    EXPECT_EQ(stall.skipped, 0u);

    // Stopped for a minute: the work of one tick stays bounded, and the
    // timestamp still moves on by every frame.
    CatchUp minute = planCatchUp(3000, 5, 100);
    EXPECT_EQ(minute.served, 100u);
    EXPECT_EQ(minute.sendFrom, 95u);
    EXPECT_EQ(minute.served + minute.skipped, 3000u);
}

TEST(CatchUp, ATickWithoutExpirationsDoesNothing)
{
    CatchUp none = planCatchUp(0, 5, 100);
    EXPECT_EQ(none.served, 0u);
    EXPECT_EQ(none.sendFrom, 0u);
    EXPECT_EQ(none.skipped, 0u);
}

} // namespace
} // namespace sipline
