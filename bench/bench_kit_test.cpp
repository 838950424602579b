#include "bench_kit.h"
#include "scratch_dir.h"
#include "whole_file.h"

#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {
namespace {

using namespace std::chrono_literals;

// Reads from a non-blocking or blocking descriptor until n bytes came or
// nothing more arrives for a while.
std::vector<uint8_t> readAll(int fd, size_t n)
{
    std::vector<uint8_t> got;
    uint8_t buf[4096];
    while (got.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0)
            break;
        ssize_t r = read(fd, buf, sizeof buf);
        if (r <= 0)
            break;
        got.insert(got.end(), buf, buf + r);
    }
    return got;
}

// A ttyI passes every byte value untouched: no end-of-line translation, no
// interrupt or flow-control characters, no echo.
TEST(BenchKit, LineIsRawBothWays)
{
    DescriptorPair line;
    ASSERT_TRUE(makeLine(line));
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(write(line.far, all.data(), all.size()), 256);
    EXPECT_EQ(readAll(line.daemon, 256), all);
    ASSERT_EQ(write(line.daemon, all.data(), all.size()), 256);
    EXPECT_EQ(readAll(line.far, 256), all); // and nothing echoed before it
    closePair(line);
}

TEST(BenchKit, SoundStandInsGoTheRightWay)
{
    DescriptorPair toRecord, fromPlayback;
    ASSERT_TRUE(makeSoundPipe(toRecord, true));
    ASSERT_TRUE(makeSoundPipe(fromPlayback, false, 4096));
    uint8_t b = 0x42;
    EXPECT_EQ(write(toRecord.far, &b, 1), 1);
    EXPECT_EQ(readAll(toRecord.daemon, 1), std::vector<uint8_t>{0x42});
    EXPECT_EQ(write(fromPlayback.daemon, &b, 1), 1);
    EXPECT_EQ(readAll(fromPlayback.far, 1), std::vector<uint8_t>{0x42});
    // Our ends never block the driver.
    uint8_t buf[1];
    EXPECT_EQ(read(fromPlayback.far, buf, 1), -1);
    closePair(toRecord);
    closePair(fromPlayback);
}

// The program finds its descriptors at 3 and 4, in the order given, and
// inherits no other descriptor of ours.
TEST(BenchKit, SpawnPlacesTheDescriptorsAndNothingElse)
{
    DescriptorPair a, b;
    ASSERT_TRUE(makeSoundSocket(a));
    ASSERT_TRUE(makeSoundPipe(b, true));
    kit::ScratchDir dir;
    std::string log = dir / ("log");
    // The pipe was made second, yet must land first: placing one descriptor
    // must not overwrite another.
    pid_t pid = spawnProgram("/bin/sh",
                             {"-c", "test -S /proc/self/fd/4 && test -p /proc/self/fd/3 && "
                                    "ls /proc/self/fd | sort -n | tr '\\n' ' '"},
                             {b.daemon, a.daemon}, log);
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_TRUE(waitChild(pid, 5000ms, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::vector<uint8_t> out;
    out = kit::readFile(log);
    // 0 1 2, the two placed descriptors, and the one ls lists its folder with.
    std::string text(out.begin(), out.end());
    EXPECT_EQ(text.substr(0, 10), "0 1 2 3 4 ") << text;
    EXPECT_LE(text.size(), 13u) << text;
    closePair(a);
    closePair(b);
}

TEST(BenchKit, ProcessEndIsSeenForOthersChildrenToo)
{
    pid_t pid = spawnProgram("/bin/sleep", {"0.05"}, {});
    ASSERT_GT(pid, 0);
    int fd = openProcess(pid);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(processEnded(fd));
    EXPECT_TRUE(processEnded(fd, 2000)); // ended, not yet reaped
    EXPECT_TRUE(waitChild(pid, 1000ms));
    close(fd);
}

} // namespace
} // namespace bench
