// The floor bridge must carry exactly what the daemon carries, or the load
// benchmark would compare against a bridge that does less.
#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench_kit.h"
#include "dle_doubling.h"
#include "marks.h"
#include "proc_stats.h"

namespace bench {
namespace {

using namespace std::chrono_literals;

constexpr size_t chunk = 160;

std::vector<uint32_t> receive(int fd, size_t chunks, bool undo, ChunkReader& reader, uint64_t& codes)
{
    std::vector<uint32_t> seen;
    bool pending = false;
    uint8_t buf[4096];
    while (seen.size() < chunks) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0)
            break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        size_t len = undo ? undoubleDle(buf, static_cast<size_t>(n), pending, codes) : static_cast<size_t>(n);
        reader.feed(buf, len, [&](uint32_t q) { seen.push_back(q); });
    }
    return seen;
}

TEST(FloorBridge, CarriesMarkedChunksBothWaysAndEndsOnTerm)
{
    DescriptorPair line, sound;
    ASSERT_TRUE(makeLine(line));
    ASSERT_TRUE(makeSoundSocket(sound));
    pid_t pid = spawnProgram(programPath("floor-bridge"), {"3", "4", std::to_string(chunk)}, {line.daemon, sound.daemon});
    ASSERT_GT(pid, 0);
    close(line.daemon);
    close(sound.daemon);
    line.daemon = sound.daemon = -1;

    // Line to sound device: DLE-doubled, written in pieces that cut chunks and
    // doubled DLEs anywhere.
    std::vector<uint8_t> lineBytes;
    for (uint32_t q = 0; q < 10; ++q) {
        uint8_t c[chunk], d[2 * chunk];
        makeMarkedChunk(c, chunk, q, 7);
        lineBytes.insert(lineBytes.end(), d, d + doubleDleBytes(c, chunk, d));
    }
    for (size_t at = 0, piece = 1; at < lineBytes.size(); at += piece, piece = piece % 97 + 26)
        ASSERT_GT(write(line.far, lineBytes.data() + at, std::min(piece, lineBytes.size() - at)), 0);
    ChunkReader toSound(chunk, 7);
    uint64_t codes = 0;
    auto seen = receive(sound.far, 10, false, toSound, codes);
    EXPECT_EQ(seen, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(toSound.badBytes(), 0u);

    // Sound device to line: plain audio in, doubled on the line.
    for (uint32_t q = 0; q < 10; ++q) {
        uint8_t c[chunk];
        makeMarkedChunk(c, chunk, q, 8);
        ASSERT_EQ(write(sound.far, c, chunk), static_cast<ssize_t>(chunk));
    }
    ChunkReader toLine(chunk, 8);
    seen = receive(line.far, 10, true, toLine, codes);
    EXPECT_EQ(seen.size(), 10u);
    EXPECT_EQ(toLine.badBytes(), 0u);
    EXPECT_EQ(codes, 0u); // every DLE went out doubled

    auto workers = childrenOf(pid);
    ASSERT_EQ(workers.size(), 2u);
    std::vector<int> ends;
    for (pid_t w : workers)
        ends.push_back(openProcess(w));
    kill(pid, SIGTERM);
    int status = 0;
    EXPECT_TRUE(waitChild(pid, 3000ms, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int fd : ends) {
        EXPECT_TRUE(processEnded(fd)); // reaped by the parent before it went
        close(fd);
    }
    closePair(line);
    closePair(sound);
}

} // namespace
} // namespace bench
