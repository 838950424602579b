#include "catch_up.h"

#include <gtest/gtest.h>

namespace sipline {
namespace {

TEST(CatchUp, EveryFrameThatPassedIsAccountedForAndOnlyTheNewestAreSent)
{
    struct Case {
        const char* what;
        uint64_t expirations, served, sendFrom, skipped;
    };
    const Case cases[] = {
        {"a tick without expirations does nothing", 0, 0, 0, 0},
        {"on time: one frame, sent", 1, 1, 0, 0},
        {"a short hold-up: all frames sent", 3, 3, 0, 0},
        {"300 ms held up: 15 served, the newest 5 sent", 15, 15, 10, 0},
        // A minute stopped: the work of one tick stays bounded, and the
        // timestamp still moves on by every frame.
        {"a minute stopped", 3000, 100, 95, 2900},
    };
    for (const Case& c : cases) {
        CatchUp plan = planCatchUp(c.expirations, 5, 100);
        EXPECT_EQ(plan.served, c.served) << c.what;
        EXPECT_EQ(plan.sendFrom, c.sendFrom) << c.what;
        EXPECT_EQ(plan.skipped, c.skipped) << c.what;
        EXPECT_EQ(plan.served + plan.skipped, c.expirations) << c.what;
    }
}

} // namespace
} // namespace sipline
