#include "control_block.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
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

// The application sets and clears its request bits while a daemon starts,
// stops and clears FlagActive on the same word, from two processes at once.
// Every change of either side must survive the other's.
TEST(FlagByte, ConcurrentChangesFromTwoProcessesLoseNoBit)
{
    void* mem = mmap(nullptr, sizeof(Word), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    auto* flags = new (mem) Word{0};
    constexpr int rounds = 2000000;
    constexpr uint32_t applicationBit = 0x100; // a bit above the flag byte, owned by the application

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The application's side: toggle its own bit; each toggle must stick.
        for (int i = 0; i < rounds; ++i)
            flags->fetch_xor(applicationBit, std::memory_order_relaxed);
        _exit(0);
    }
    // The daemon's side: run the start/stop handshake on the low byte.
    int cycles = 0;
    for (int i = 0; i < rounds; ++i) {
        flags->fetch_or(FlagStartRequest, std::memory_order_relaxed);
        if (markStarted(*flags))
            ++cycles;
        flags->fetch_or(FlagStopRequest, std::memory_order_relaxed);
        markStopped(*flags);
        flags->fetch_and(~(FlagStarted | FlagStopped), std::memory_order_relaxed);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(cycles, rounds);
    // An even number of toggles leaves the application's bit clear; the
    // daemon's handshake leaves nothing behind in the low byte.
    EXPECT_EQ(readWord(*flags), 0u);
    munmap(mem, sizeof(Word));
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
