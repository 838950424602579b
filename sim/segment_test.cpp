#include "segment.h"

#include <cstring>
#include <gtest/gtest.h>
#include <sys/shm.h>
#include <thread>

namespace sim {
namespace {

TEST(Segment, IsZeroedAndGoneWithTheObject)
{
    int id;
    {
        Segment seg;
        id = seg.id();
        shmid_ds info{};
        ASSERT_EQ(shmctl(id, IPC_STAT, &info), 0);
        EXPECT_EQ(info.shm_segsz, controlBlockSize);
        const auto* bytes = reinterpret_cast<const uint8_t*>(&seg.block());
        EXPECT_TRUE(std::all_of(bytes, bytes + controlBlockSize, [](uint8_t b) { return b == 0; }));
    }
    shmid_ds info{};
    EXPECT_EQ(shmctl(id, IPC_STAT, &info), -1);
}

TEST(Segment, ReleasedSegmentIsMarkedForRemovalAndStillUsable)
{
    Segment seg;
    writeWord(seg->tapeLimit, 1234);
    seg.release();
    shmid_ds info{};
    ASSERT_EQ(shmctl(seg.id(), IPC_STAT, &info), 0) << "still attached here";
    EXPECT_TRUE(info.shm_perm.mode & SHM_DEST);
    EXPECT_EQ(readWord(seg->tapeLimit), 1234u);
    seg.release(); // a second call changes nothing
    EXPECT_EQ(readWord(seg->tapeLimit), 1234u);
}

TEST(Segment, PathsAreTerminatedWithinTheirField)
{
    Segment seg;
    std::memset(seg->ingoingPath, 'x', pathFieldSize);
    Segment::setPath(seg->ingoingPath, "/tmp/in");
    EXPECT_STREQ(seg->ingoingPath, "/tmp/in");
    EXPECT_EQ(seg->ingoingPath[pathFieldSize - 1], 0); // the rest is cleared

    Segment::setPath(seg->outgoingPath, std::string(200, 'a'));
    EXPECT_EQ(std::strlen(seg->outgoingPath), pathFieldSize - 1);
    EXPECT_EQ(seg->messagePath[0], 0) << "the next field is untouched";
}

TEST(Segment, WaitForSeesAnotherThreadsStoreOrTimesOut)
{
    Segment seg;
    EXPECT_FALSE(seg.waitFor(seg->phoneUp, 1, 20ms));
    std::thread writer([&] {
        std::this_thread::sleep_for(10ms);
        writeWord(seg->phoneUp, 1);
    });
    EXPECT_TRUE(seg.waitFor(seg->phoneUp, 1));
    writer.join();
    EXPECT_TRUE(seg.waitUntil([&] { return readWord(seg->phoneUp) == 1; }, 0ms));
}

} // namespace
} // namespace sim
