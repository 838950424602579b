#include "control_block.h"

#include <gtest/gtest.h>
#include <chrono>
#include <sys/mman.h>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

namespace {

uint32_t afterStart(uint32_t v)
{
    Word w{v};
    markStarted(w);
    return readWord(w);
}

uint32_t afterStop(uint32_t v)
{
    Word w{v};
    markStopped(w);
    return readWord(w);
}

TEST(FlagByte, StartAndStopFollowTheHandshake)
{
    EXPECT_EQ(afterStart(0x01), 0x06u);
    EXPECT_EQ(afterStop(0x0E), 0x12u);
    EXPECT_EQ(afterStop(afterStart(0x09)), 0x12u);
    // Without their request bit both leave the word alone.
    EXPECT_EQ(afterStart(0x06), 0x06u);
    EXPECT_EQ(afterStop(0x06), 0x06u);
    // A leftover FlagStopped survives a new start.
    EXPECT_EQ(afterStart(0x13), 0x16u);
}

TEST(FlagByte, UpperBitsSurviveEveryOperation)
{
    EXPECT_EQ(afterStart(0xABCDEF01), 0xABCDEF06u);
    EXPECT_EQ(afterStop(0x1234560E), 0x12345612u);
    Word w{0xFFFFFF06};
    EXPECT_TRUE(clearActive(w));
    EXPECT_EQ(readWord(w), 0xFFFFFF02u);
    EXPECT_FALSE(clearActive(w));
    EXPECT_EQ(readWord(w), 0xFFFFFF02u);
}

// The application changes bits above the flag byte while a daemon starts,
// stops and clears FlagActive on the same word, from two processes at once.
// The application counts in the upper 24 bits, so every lost update shows.
TEST(FlagByte, ConcurrentChangesFromTwoProcessesLoseNoBit)
{
    struct Shared {
        Word flags;
        Word go;
        Word stop;
        Word applicationAdds;
    };
    void* mem = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    auto* shared = new (mem) Shared{};
    constexpr uint32_t applicationStep = 0x100;

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        while (readWord(shared->go) == 0) {
        }
        uint32_t adds = 0;
        while (readWord(shared->stop) == 0) {
            shared->flags.fetch_add(applicationStep, std::memory_order_relaxed);
            ++adds;
        }
        writeWord(shared->applicationAdds, adds);
        _exit(0);
    }
    writeWord(shared->go, 1);
    int cycles = 0, rounds = 0, overlapped = 0;
    // Run until the two sides have demonstrably interleaved many times; on a
    // busy machine they seldom run at the same moment, so this may take long.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (overlapped < 2000 && std::chrono::steady_clock::now() < deadline) {
        uint32_t before = readWord(shared->flags) >> 8;
        shared->flags.fetch_or(FlagStartRequest, std::memory_order_relaxed);
        if (markStarted(shared->flags))
            ++cycles;
        shared->flags.fetch_or(FlagStopRequest, std::memory_order_relaxed);
        markStopped(shared->flags);
        clearActive(shared->flags);
        shared->flags.fetch_and(~(FlagStarted | FlagStopped), std::memory_order_relaxed);
        if ((readWord(shared->flags) >> 8) != before)
            ++overlapped;
        ++rounds;
    }
    writeWord(shared->stop, 1);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_GE(overlapped, 2000) << "the two processes never ran at the same time";
    EXPECT_EQ(cycles, rounds);
    uint32_t flags = readWord(shared->flags);
    EXPECT_EQ(flags & 0xFFu, 0u);
    EXPECT_EQ(flags >> 8, readWord(shared->applicationAdds) & 0xFFFFFFu);
    munmap(mem, sizeof(Shared));
}

TEST(ClaimExclusive, TakesTheWordOnlyWhileTheOtherIsFree)
{
    Word mine{0}, other{0};
    EXPECT_TRUE(claimExclusive(mine, other));
    EXPECT_EQ(readWord(mine), 1u);
    EXPECT_FALSE(claimExclusive(mine, other)); // already running
    Word theirs{0};
    EXPECT_FALSE(claimExclusive(theirs, mine));
    EXPECT_EQ(readWord(theirs), 0u) << "a claim that backs off leaves its word clear";
}

// Two processes claiming against each other as fast as they can: never both
// inside at once, and each gets in many times.
TEST(ClaimExclusive, TwoProcessesAreNeverInsideTogether)
{
    struct Shared {
        Word first, second; // the two claimed words
        Word inside;        // processes inside right now
        Word overlaps;
        Word stop;
    };
    void* mem = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    auto* shared = new (mem) Shared{};
    auto contend = [shared](Word& mine, Word& other) {
        unsigned wins = 0;
        while (readWord(shared->stop) == 0) {
            if (!claimExclusive(mine, other))
                continue;
            if (shared->inside.fetch_add(1) != 0)
                shared->overlaps.fetch_add(1);
            shared->inside.fetch_sub(1);
            mine.store(0, std::memory_order_seq_cst);
            ++wins;
        }
        return wins;
    };
    int winsPipe[2];
    ASSERT_EQ(pipe(winsPipe), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        unsigned wins = contend(shared->second, shared->first);
        _exit(write(winsPipe[1], &wins, sizeof wins) == sizeof wins ? 0 : 1);
    }
    std::thread stopper([shared] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500)); // the span contended, not a synchronisation
        writeWord(shared->stop, 1);
    });
    unsigned ours = contend(shared->first, shared->second);
    stopper.join();
    unsigned theirs = 0;
    ASSERT_EQ(read(winsPipe[0], &theirs, sizeof theirs), static_cast<ssize_t>(sizeof theirs));
    waitpid(child, nullptr, 0);
    close(winsPipe[0]);
    close(winsPipe[1]);
    EXPECT_EQ(readWord(shared->overlaps), 0u);
    EXPECT_GT(ours, 1000u);
    EXPECT_GT(theirs, 1000u);
    munmap(mem, sizeof(Shared));
}

TEST(ControlBlockLayout, ZeroFilledRecordReadsAsIdle)
{
    alignas(ControlBlock) unsigned char raw[sizeof(ControlBlock)] = {};
    raw[2144] = 0x40; // tapePosition, little-endian
    raw[2145] = 0x1F;
    auto* cb = reinterpret_cast<ControlBlock*>(raw);
    EXPECT_EQ(readWord(cb->tapePosition), 8000u);
    EXPECT_EQ(readWord(cb->recordFlags), 0u);
    writeByte(cb->dtmfKey, '5');
    EXPECT_EQ(raw[124], '5');
}

} // namespace
