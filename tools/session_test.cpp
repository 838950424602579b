#include "session.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

#include "scratch_dir.h"

namespace callctl {
namespace {

using namespace std::chrono_literals;

// What a call's tape looks like to the watcher: taping, a DTMF key going
// out, a move back and a take that overwrites the key.
TEST(Session, MarksTheTapeAndForgetsKeysThatAreTapedOver)
{
    Transcript t;
    Session s("/nonexistent", t);
    ControlBlock& c = s.cb();
    s.trackTape(true);
    s.startWatching();
    auto step = [] { std::this_thread::sleep_for(60ms); };

    writeWord(c.recordFlags, FlagStarted | FlagActive);
    step();
    writeByte(c.dtmfKey, '5');
    writeWord(c.dtmfPending, 1);
    step();
    writeWord(c.outgoingPosition, 8000);
    writeWord(c.tapePosition, 8000);
    writeWord(c.dtmfPending, 0);
    step();
    writeWord(c.tapePosition, 16000);
    writeWord(c.recordFlags, FlagStarted | FlagStopped);
    step();
    std::vector<TapeMark> m = s.marks();
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[1].kind, TapeMark::Kind::DtmfSent);
    EXPECT_EQ(m[1].position, 8000u);
    EXPECT_EQ(m[1].label, "5");

    // Back to 4000 and a take to 12000 covers the key at 8000.
    s.markMove(16000, 4000, "back 1.5 s");
    writeWord(c.tapePosition, 4000);
    step();
    writeWord(c.recordFlags, FlagStarted | FlagActive);
    step();
    writeWord(c.tapePosition, 12000);
    writeWord(c.recordFlags, FlagStarted | FlagStopped);
    step();
    s.stopWatching();
    m = s.marks();
    std::vector<std::pair<TapeMark::Kind, uint32_t>> seen;
    for (const auto& x : m)
        seen.emplace_back(x.kind, x.position);
    using K = TapeMark::Kind;
    EXPECT_EQ(seen, (std::vector<std::pair<K, uint32_t>>{
                        {K::TapingOn, 0}, {K::TapingOff, 16000}, {K::TapeMove, 16000}, {K::TapingOn, 4000},
                        {K::TapingOff, 12000}}));

    // Every change went into the transcript as the record's.
    bool sawStop = false;
    for (const auto& e : t.entries())
        sawStop |= e.source == "control block" && e.text == "recordFlags 0x06 Started|Active -> 0x12 Started|Stopped";
    EXPECT_TRUE(sawStop);
}

TEST(Session, FindsTheDaemonsOnlyWhereAllThreeAre)
{
    std::string dir, error;
    EXPECT_FALSE(findDaemonDir("/nonexistent", &dir, &error));
    EXPECT_EQ(error, "--daemons /nonexistent: no program /nonexistent/voicephone-daemon");
    kit::ScratchDir scratch;
    const std::string& d = scratch.path();
    ASSERT_FALSE(d.empty());
    for (const char* p : {"voicephone-daemon", "playback-daemon"}) {
        std::string path = d + "/" + p;
        FILE* f = fopen(path.c_str(), "w");
        fclose(f);
        chmod(path.c_str(), 0755);
    }
    EXPECT_FALSE(findDaemonDir(d, &dir, &error));
    EXPECT_EQ(error, "--daemons " + d + ": no program " + d + "/record-daemon");
    std::string last = d + "/record-daemon";
    fclose(fopen(last.c_str(), "w"));
    EXPECT_FALSE(findDaemonDir(d, &dir, &error)) << "not executable yet";
    chmod(last.c_str(), 0755);
    EXPECT_TRUE(findDaemonDir(d, &dir, &error)) << error;
    EXPECT_EQ(dir, d);
}

} // namespace
} // namespace callctl
