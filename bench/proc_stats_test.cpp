#include "proc_stats.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {
namespace {

TEST(ProcStats, ParsesTheKernelsTexts)
{
    EXPECT_EQ(parseSchedstat("1584015 11717 4\n"), 1584015u);
    EXPECT_EQ(parseSchedstat(""), std::nullopt);
    EXPECT_EQ(parseSchedstat("x 1"), std::nullopt);
    EXPECT_EQ(parseTimeslices("1584015 11717 4\n"), 4u);
    EXPECT_EQ(parseTimeslices("1584015 11717"), std::nullopt);
    auto all = parseSchedstatFields("1584015 11717 4\n");
    ASSERT_TRUE(all.has_value());
    EXPECT_EQ(all->waitNs, 11717u);

    const char* status = "Name:\tx\nVmPeak:\t    3776 kB\nVmHWM:\t    2144 kB\nVmRSS:\t 2144 kB\n";
    EXPECT_EQ(fieldKib(status, "VmHWM"), 2144u);
    EXPECT_EQ(fieldKib(status, "Vm"), std::nullopt); // a name is matched whole
    EXPECT_EQ(fieldKib(status, "VmSwap"), std::nullopt);
    const char* rollup = "Private_Clean:        64 kB\nPrivate_Dirty:       116 kB\nAnonymous:  120 kB";
    EXPECT_EQ(fieldKib(rollup, "Private_Dirty"), 116u);
    EXPECT_EQ(fieldKib(rollup, "Anonymous"), 120u); // last line without its end

    EXPECT_EQ(parsePidList("7898 12 \n"), (std::vector<pid_t>{7898, 12}));
    EXPECT_TRUE(parsePidList("").empty());
}

TEST(ProcStats, ReadsALiveProcess)
{
    pid_t child = fork();
    if (child == 0) {
        volatile unsigned spin = 0;
        for (unsigned i = 0; i < 20000000; ++i)
            spin = spin + i;
        pause();
        _exit(0);
    }
    ASSERT_GT(child, 0);
    std::vector<pid_t> kids;
    std::optional<uint64_t> ran;
    for (int i = 0; i < 500 && (!ran || *ran < 1000000); ++i) {
        usleep(2000);
        ran = runTimeNs(child);
    }
    kids = childrenOf(getpid());
    auto mem = memoryUse(child);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    ASSERT_TRUE(ran.has_value());
    EXPECT_GE(*ran, 1000000u); // it did spin for more than a millisecond
    EXPECT_NE(std::find(kids.begin(), kids.end(), child), kids.end());
    ASSERT_TRUE(mem.has_value());
    EXPECT_GT(mem->peakResidentKib, 0u);
    EXPECT_GE(mem->peakResidentKib, mem->privateDirtyKib);
    EXPECT_EQ(runTimeNs(child), std::nullopt); // gone
    EXPECT_NE(cpuModel(), "");
}

} // namespace
} // namespace bench
