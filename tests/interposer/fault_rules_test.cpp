#include "fault_rules.h"

#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>

namespace faults {
namespace {

TEST(FaultRules, ReadsEveryKeyOfSeveralRules)
{
    RuleSet set;
    ASSERT_TRUE(parseRules("call=fwrite,path=out.tape,after=3,count=2,errno=ENOSPC,short=7,in=2;"
                           "call=select,fd=4,signal=KILL",
                           &set));
    ASSERT_EQ(set.size, 2);
    const Rule& a = set.rules[0];
    EXPECT_EQ(a.call, Call::Fwrite);
    EXPECT_STREQ(a.path, "out.tape");
    EXPECT_EQ(a.after, 3);
    EXPECT_EQ(a.count, 2);
    EXPECT_EQ(a.error, ENOSPC);
    EXPECT_EQ(a.shortCount, 7);
    EXPECT_EQ(a.processIndex, 2);
    const Rule& b = set.rules[1];
    EXPECT_EQ(b.call, Call::Select);
    EXPECT_EQ(b.fd, 4);
    EXPECT_EQ(b.signal, SIGKILL);
    EXPECT_EQ(b.error, EIO);
    EXPECT_EQ(b.count, -1);
}

TEST(FaultRules, RejectsWhatItCannotRead)
{
    RuleSet set;
    for (const char* bad : {"", "call=frob", "fd=3", "call=read,fd=x", "call=read,after=-1", "call=read,errno=EWHAT",
                            "call=read,colour=red", "call=read,fd", "call=read,signal=0",
                            "call=read;call=read;call=read;call=read;call=read;call=read;call=read;call=read;call=read"}) {
        EXPECT_FALSE(parseRules(bad, &set)) << bad;
        EXPECT_EQ(set.size, 0) << bad;
    }
    EXPECT_EQ(errorNumber("28"), 28);
    EXPECT_EQ(errorNumber("EAGAIN"), EAGAIN);
}

TEST(FaultRules, CountsOnlyMatchingCallsAndStopsAfterCount)
{
    RuleSet set;
    ASSERT_TRUE(parseRules("call=read,fd=4,after=2,count=2,errno=EAGAIN", &set));
    Target other;
    other.fd = 5;
    Target four;
    four.fd = 4;
    std::string seen;
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(decide(set, Call::Read, other, 0).action, Action::Pass);
        EXPECT_EQ(decide(set, Call::Write, four, 0).action, Action::Pass);
        Decision d = decide(set, Call::Read, four, 0);
        seen += d.action == Action::Fail ? 'F' : 'p';
        if (d.action == Action::Fail) {
            EXPECT_EQ(d.error, EAGAIN);
        }
    }
    EXPECT_EQ(seen, "ppFFppp");
}

TEST(FaultRules, MatchesPathsProcessesAndSelectSets)
{
    RuleSet set;
    ASSERT_TRUE(parseRules("call=fwrite,path=in.tape,short=3;call=select,fd=6,in=1", &set));
    Target in;
    in.path = "/tmp/x/in.tape";
    Target out;
    out.path = "/tmp/x/out.tape";
    Target none;
    EXPECT_EQ(decide(set, Call::Fwrite, out, 0).action, Action::Pass);
    EXPECT_EQ(decide(set, Call::Fwrite, none, 0).action, Action::Pass);
    Decision d = decide(set, Call::Fwrite, in, 0);
    EXPECT_EQ(d.action, Action::Short);
    EXPECT_EQ(d.shortCount, 3);
    EXPECT_EQ(d.rule, 0);

    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(6, &readable);
    Target sel;
    sel.readSet = &readable;
    sel.nfds = 7;
    EXPECT_EQ(decide(set, Call::Select, sel, 0).action, Action::Pass) << "other process";
    EXPECT_EQ(decide(set, Call::Select, sel, 1).action, Action::Fail);
    FD_CLR(6, &readable);
    FD_SET(3, &readable);
    EXPECT_EQ(decide(set, Call::Select, sel, 1).action, Action::Pass) << "descriptor not in the set";
    sel.readSet = nullptr;
    sel.writeSet = &readable;
    FD_SET(6, &readable);
    sel.nfds = 6;
    EXPECT_EQ(decide(set, Call::Select, sel, 1).action, Action::Pass) << "beyond nfds";
}

} // namespace
} // namespace faults
