// The load driver's bookkeeping, checked on short runs: every chunk sent in
// the window is accounted for, the framing is undone on the right side for
// each bridge, and taped chunks are found again in the files.  Nothing here
// looks at how fast anything was.
#include "load_run.h"

#include <gtest/gtest.h>

namespace bench {
namespace {

LoadOptions shortRun()
{
    LoadOptions o;
    o.seconds = 1;
    o.warmup = 0.3;
    return o;
}

void expectAllAccountedFor(const LoadResult& r)
{
    ASSERT_TRUE(r.ok) << r.problem;
    // How many chunks fall in the window depends on how well a busy machine
    // keeps the driver's pace, which is not checked here; that some do and
    // every one is accounted for is.
    EXPECT_GT(r.counted, 0u);
    EXPECT_EQ(r.lost, 0u);
    EXPECT_EQ(r.badBytes, 0u);
    EXPECT_EQ(r.strayCodes, 0u);
    EXPECT_EQ(r.earlyEnds, 0u);
    EXPECT_EQ(r.delayToSound.size() + r.delayToLine.size(), r.counted);
    for (double d : r.delayToSound)
        ASSERT_GE(d, 0);
    EXPECT_GT(r.cpuPerCallPct, 0);
    EXPECT_GT(r.driverCpuPct, 0);
}

TEST(LoadRun, FloorBridgeCallsAreAllAccountedFor)
{
    LoadResult r = runLoad(shortRun(), Bridge::Floor, 3);
    expectAllAccountedFor(r);
}

// socat carries the line's framing through unchanged: the driver must undo
// it on the sound side and not on the line side.
TEST(LoadRun, SocatFramingIsUndoneOnTheOtherSide)
{
    LoadResult r = runLoad(shortRun(), Bridge::Socat, 1);
    expectAllAccountedFor(r);
}

TEST(LoadRun, TapedChunksAreFoundInTheFiles)
{
    LoadResult r = runLoad(shortRun(), Bridge::DaemonTapeOn, 2);
    expectAllAccountedFor(r);
    EXPECT_GT(r.tapeChunks, 2u * 2u * 50u); // both files of both calls, a second and more each
    EXPECT_EQ(r.tapeBad, 0u);
    EXPECT_EQ(r.tapeBytes, r.tapeChunks * 160);
}

TEST(LoadRun, PoolingAveragesCostsAndAddsCounts)
{
    LoadResult a, b, into;
    a.cpuPerCallPct = 1.0;
    b.cpuPerCallPct = 3.0;
    a.counted = 10;
    b.counted = 20;
    a.delayToLine = {1, 2};
    b.delayToLine = {3};
    pool(into, a, 2);
    pool(into, b, 2);
    EXPECT_DOUBLE_EQ(into.cpuPerCallPct, 2.0);
    EXPECT_EQ(into.counted, 30u);
    EXPECT_EQ(into.delayToLine, (std::vector<double>{1, 2, 3}));
    LoadResult failed;
    failed.ok = false;
    failed.problem = "start";
    pool(into, failed, 2);
    EXPECT_FALSE(into.ok);
    EXPECT_EQ(into.problem, "start");
}

} // namespace
} // namespace bench
