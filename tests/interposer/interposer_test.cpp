// The fault library preloaded into a small probe program: each call fails
// exactly when its rule says, and the log records every injected fault.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>

#include "scratch_dir.h"

namespace {

// Runs the probe with rules preloaded and returns what it printed.
std::string probe(const std::string& rules, const std::string& args, const std::string& log = "/dev/null")
{
    std::string command = "ORVEX_FAULTS='" + rules + "' ORVEX_FAULT_LOG='" + log + "' LD_PRELOAD='" +
                          ORVEX_FAULTS_LIBRARY + "' '" + ORVEX_FAULT_PROBE + "' " + args + " 2>&1";
    if (const char* asan = getenv("ASAN_OPTIONS"))
        command = "ASAN_OPTIONS='" + std::string(asan) + ":verify_asan_link_order=0' " + command;
    else
        command = "ASAN_OPTIONS=verify_asan_link_order=0 " + command;
    FILE* p = popen(command.c_str(), "r");
    std::string out;
    char buffer[256];
    while (p && fgets(buffer, sizeof buffer, p))
        out += buffer;
    if (p)
        pclose(p);
    return out;
}

std::string lines(std::initializer_list<const char*> l)
{
    std::string s;
    for (const char* x : l)
        s += std::string(x) + "\n";
    return s;
}

TEST(Interposer, FailsEachCallOnCue)
{
    EXPECT_EQ(probe("call=fork,after=1,count=1", "fork 3"), lines({"fork 1 0", "fork -1 5", "fork 1 0"}));
    EXPECT_EQ(probe("call=read,after=1,count=2,errno=EAGAIN", "read 4"),
              lines({"read 10 0", "read -1 11", "read -1 11", "read 10 0"}));
    EXPECT_EQ(probe("call=read,short=3", "read 1"), "read 3 0\n");
    EXPECT_EQ(probe("call=write,errno=ENOSPC", "write 1"), "write -1 28\n");
    EXPECT_EQ(probe("call=select,errno=EBADF", "select 1"), "select -1 9\n");
    EXPECT_EQ(probe("call=open,path=zz-missing", "open /etc/zz-missing-not"), "open -1 5\n");
}

TEST(Interposer, StreamFaultsSetTheErrorIndicatorAndStoreOnlyTheShortPart)
{
    kit::ScratchDir dir;
    std::string file = dir / "out.tape";
    EXPECT_EQ(probe("call=fwrite,path=out.tape,after=1,count=1,short=4,errno=ENOSPC", "fwrite " + file + " 3"),
              lines({"fwrite 10 0 0", "fwrite 4 28 1", "fwrite 10 0 0"}));
    std::ifstream f(file, std::ios::binary);
    std::stringstream bytes;
    bytes << f.rdbuf();
    EXPECT_EQ(bytes.str().size(), 24u);
    EXPECT_EQ(probe("call=fread,path=out.tape,after=1,count=1", "fread " + file + " 3"),
              lines({"fread 10 0 0", "fread 0 5 1", "fread 10 0 0"}));
    // A path rule leaves other files alone.
    EXPECT_EQ(probe("call=fwrite,path=in.tape", "fwrite " + file + " 1"), "fwrite 10 0 0\n");
}

TEST(Interposer, SelectsTheProcessByForkOrderAndLogsFaults)
{
    kit::ScratchDir dir;
    std::string log = dir / "log";
    EXPECT_EQ(probe("call=read,in=1,after=1", "forkread 2", log), lines({"read 10 0", "read -1 5", "parentread 10 0"}));
    std::ifstream f(log);
    std::string pid, call, rule, extra;
    f >> pid >> call >> rule;
    EXPECT_EQ(call, "read");
    EXPECT_EQ(rule, "0");
    EXPECT_FALSE(f >> extra) << "one fault, one line";
}

TEST(Interposer, RefusesRulesItCannotRead)
{
    EXPECT_NE(probe("call=reed", "read 1").find("cannot read ORVEX_FAULTS"), std::string::npos);
}

} // namespace
