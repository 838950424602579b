#include "segment_users.h"

#include <gtest/gtest.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

namespace callctl {
namespace {

TEST(SegmentUsers, MapsLinesAreReadByTheirInode)
{
    EXPECT_TRUE(mapsLineIsSegment("7f2a4c000000-7f2a4c001000 rw-s 00000000 00:01 491576 /SYSV00000000 (deleted)",
                                  491576));
    EXPECT_FALSE(mapsLineIsSegment("7f2a4c000000-7f2a4c001000 rw-s 00000000 00:01 491577 /SYSV00000000", 491576));
    EXPECT_FALSE(mapsLineIsSegment("7f2a4c000000-7f2a4c001000 r-xp 00000000 08:01 491576 /usr/lib/libc.so.6",
                                   491576));
    EXPECT_FALSE(mapsLineIsSegment("7ffd1000-7ffd2000 rw-p 00000000 00:00 0", 0));
}

TEST(SegmentUsers, AChildWithTheSegmentAttachedIsFound)
{
    int id = shmget(IPC_PRIVATE, 4096, 0600 | IPC_CREAT);
    ASSERT_GE(id, 0);
    void* ours = shmat(id, nullptr, 0);
    ASSERT_NE(ours, reinterpret_cast<void*>(-1));
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        // The attach is inherited across fork; tell the parent, then wait.
        close(ready[0]);
        char c = 1;
        if (write(ready[1], &c, 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    std::vector<pid_t> users = processesAttachedTo(id);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    shmdt(ours);
    shmctl(id, IPC_RMID, nullptr);
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0], child);
}

} // namespace
} // namespace callctl
