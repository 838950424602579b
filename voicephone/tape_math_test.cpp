#include "tape_math.h"

#include <cstdint>
#include <gtest/gtest.h>

namespace {

TEST(TapeMath, RoomEndsAtTheLimitWithoutWrapping)
{
    EXPECT_TRUE(tapeHasRoom(16000, 16000 - 160, 160)); // exactly one chunk left
    EXPECT_FALSE(tapeHasRoom(16000, 16000 - 159, 160));
    EXPECT_FALSE(tapeHasRoom(16000, 16000, 160));
    // Beyond the limit (moved there over a longer file) the tape is full; an
    // unsigned difference would wrap to a huge room instead.
    EXPECT_FALSE(tapeHasRoom(16000, 16001, 160));
    EXPECT_FALSE(tapeHasRoom(0, UINT32_MAX, 1));
    EXPECT_TRUE(tapeHasRoom(UINT32_MAX, UINT32_MAX - 65536, 65536));
}

TEST(TapeMath, SkipsStayOnTheTape)
{
    EXPECT_EQ(skipBackTarget(16000, 3), 0u);
    EXPECT_EQ(skipBackTarget(16000, 1), 8000u);
    EXPECT_EQ(skipBackTarget(16000, 2), 0u);
    EXPECT_EQ(skipForwardTarget(8000, 5, 24000), 24000u);
    EXPECT_EQ(skipForwardTarget(8000, 1, 24000), 16000u);
    EXPECT_EQ(skipForwardTarget(8000, 2, 24000), 24000u); // exactly the end
    // Byte counts are formed modulo 2^32, as the application forms them:
    // 536871 s is 4294968000 bytes, which wraps to 704.
    EXPECT_EQ(skipForwardTarget(8000, 536871, 24000), 8704u);
    EXPECT_EQ(skipBackTarget(24000, 536871), 23296u);
    // A position near 2^32 plus one second wraps to the start of the tape.
    EXPECT_EQ(skipForwardTarget(0xFFFFF000u, 1, 0xFFFFFFFFu), 3904u);
    EXPECT_EQ(skipBackTarget(0xFFFFFFFFu, 1), 0xFFFFFFFFu - 8000u);
    EXPECT_EQ(skipForwardTarget(UINT32_MAX - 100, 1, UINT32_MAX), 7899u);
}

TEST(TapeMath, TapePositionIsTheShorterSideAndLengthOnlyGrows)
{
    TapeExtent e = tapeExtentAfterWrite(8000, 8160, 4000); // outgoing ahead
    EXPECT_EQ(e.position, 8000u);
    EXPECT_EQ(e.length, 8000u);
    e = tapeExtentAfterWrite(8320, 8160, 4000); // ingoing ahead
    EXPECT_EQ(e.position, 8160u);
    EXPECT_EQ(e.length, 8160u);
    e = tapeExtentAfterWrite(160, 320, 24000); // taping inside a longer tape
    EXPECT_EQ(e.position, 160u);
    EXPECT_EQ(e.length, 24000u);
}

TEST(TapeMath, LengthIsTheShorterFile)
{
    EXPECT_EQ(tapeLengthFromSizes(16000, 24000), 16000u);
    EXPECT_EQ(tapeLengthFromSizes(24000, 16000), 16000u);
    EXPECT_EQ(tapeLengthFromSizes(0, 24000), 0u);
    EXPECT_EQ(tapeLengthFromSizes(uint64_t{5} << 32, uint64_t{6} << 32), UINT32_MAX);
}

TEST(TapeMath, ResponseNeverExceedsItsLimit)
{
    EXPECT_TRUE(responseHasRoom(99, 1, 100));
    EXPECT_FALSE(responseHasRoom(100, 1, 100));
    EXPECT_FALSE(responseHasRoom(0, 1, 0));
    EXPECT_TRUE(responseHasRoom(0, 0, 0));
    EXPECT_FALSE(responseHasRoom(UINT32_MAX, 1, UINT32_MAX)); // no wrap past 2^32
}

} // namespace
