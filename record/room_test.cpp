#include "room.h"

#include <gtest/gtest.h>

namespace {

TEST(Room, AChunkIsTakenOnlyWhenItFitsWhole)
{
    EXPECT_TRUE(chunkFits(1000, 840, 160));  // exactly the room left
    EXPECT_FALSE(chunkFits(1000, 841, 160)); // one byte short: nothing of it fits
    EXPECT_TRUE(chunkFits(1000, 1000, 0));   // an empty read at the limit is no overflow
    EXPECT_FALSE(chunkFits(1000, 1000, 1));
    EXPECT_FALSE(chunkFits(0, 0, 1));
}

TEST(Room, PositionBeyondTheLimitWrapsToAlmostUnlimitedRoomButNeverPastTheWord)
{
    EXPECT_EQ(roomLeft(1000, 1001), 0xFFFFFFFFu);
    EXPECT_TRUE(chunkFits(1000, 2000, 65536));
    EXPECT_EQ(roomLeft(0xFFFFFFFFu, 0), 0xFFFFFFFFu);
    EXPECT_TRUE(chunkFits(0xFFFFFFFFu, 0xFFFFFFFFu - 160, 160));
    EXPECT_FALSE(chunkFits(0xFFFFFFFFu, 0xFFFFFFFFu - 159, 160));
    // Beyond the limit the room is unlimited, but a chunk that would carry
    // the position past 2^32 - 1 would wrap it to the start: not taken.
    EXPECT_TRUE(chunkFits(1000, 0xFFFFFFFFu - 160, 160));
    EXPECT_FALSE(chunkFits(1000, 0xFFFFFFFFu - 159, 160));
    EXPECT_FALSE(chunkFits(1000, 0xFFFFFFFFu, 1));
    EXPECT_TRUE(chunkFits(1000, 0xFFFFFFFFu, 0));
}

} // namespace
