#include "run_verdict.h"

#include <gtest/gtest.h>

namespace callctl {
namespace {

RunFacts clean()
{
    RunFacts f;
    f.program = "record-daemon";
    f.exitStatus = 0;
    f.tapeLimit = 80000;
    f.chunkSize = 160;
    return f;
}

TEST(RunVerdict, ACleanRunIsASuccess)
{
    RunFacts f = clean();
    f.errorLines = {"Orvex Record daemon (slave): Dying"};
    EXPECT_TRUE(judgeRun(f).ok);
    // Reaching the limit is what was asked for.
    f.tapeFull = true;
    f.tapeLength = 80000 - 100;
    EXPECT_TRUE(judgeRun(f).ok) << judgeRun(f).problem;
}

TEST(RunVerdict, EveryKindOfFailureIsToldWithTheDaemonsOwnWords)
{
    RunFacts f = clean();
    f.errorFlag = true;
    f.errorLines = {"Orvex Record daemon (slave): Error writing to file full/t.ul"};
    Verdict v = judgeRun(f);
    EXPECT_FALSE(v.ok);
    EXPECT_EQ(v.problem, "record-daemon said \"Orvex Record daemon (slave): Error writing to file full/t.ul\"");

    f = clean();
    f.errorLines = {"(audio->ttyI) read: Connection reset by peer", "second", "third", "fourth", "fifth"};
    v = judgeRun(f);
    EXPECT_FALSE(v.ok);
    EXPECT_EQ(v.problem, "record-daemon said \"(audio->ttyI) read: Connection reset by peer\", \"second\", \"third\" "
                         "(and 2 more lines)");

    f = clean();
    f.exitStatus = 1;
    f.errorLines = {"Chunk size 0 is outside 1...65536"};
    EXPECT_EQ(judgeRun(f).problem, "record-daemon ended with status 1: \"Chunk size 0 is outside 1...65536\"");

    f = clean();
    f.exitStatus.reset();
    f.termSignal = 9;
    EXPECT_EQ(judgeRun(f).problem, "record-daemon was killed by signal 9");

    f = clean();
    f.errorFlag = true;
    EXPECT_FALSE(judgeRun(f).ok);

    f = clean();
    f.tapeFull = true;
    f.tapeLength = 32640;
    EXPECT_EQ(judgeRun(f).problem, "record-daemon reported the tape full at 00:04.0, before the limit of 00:10.0");
}

TEST(RunVerdict, ARecordingCutOffByTheHangUpIsNoFailureUnlessTheDaemonComplained)
{
    RunFacts f = clean();
    f.program = "voicephone-daemon";
    f.errorFlag = true;
    f.cutOffByHangUp = true;
    EXPECT_TRUE(judgeRun(f).ok);
    f.errorLines = {"Orvex ttyI2Audio daemon: Error writing to response file full/r.ul"};
    EXPECT_FALSE(judgeRun(f).ok);
}

} // namespace
} // namespace callctl
