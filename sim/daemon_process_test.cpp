#include "daemon_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "line.h"
#include "scratch_dir.h"
#include "segment.h"
#include "sound_device.h"

namespace sim {
namespace {

bool shell(DaemonProcess& d, const std::string& script, const std::vector<int>& fds = {},
           const std::vector<std::string>& env = {})
{
    return d.start("/bin/sh", {"/bin/sh", "-c", script}, fds, env);
}

bool processExists(pid_t pid)
{
    return kill(pid, 0) == 0 || errno != ESRCH;
}

TEST(DaemonProcess, CollectsLinesAndStatusAndHandsOverOnlyListedDescriptors)
{
    int handed[2], kept[2];
    ASSERT_EQ(pipe2(handed, O_CLOEXEC), 0);
    ASSERT_EQ(pipe(kept), 0); // not close-on-exec, and still not inherited
    const std::string n = std::to_string(handed[1]);
    const std::string k = std::to_string(kept[1]);

    DaemonProcess d;
    ASSERT_TRUE(shell(d,
                      "echo first; echo oops >&2; printf 'unfinished'; printf handed >&" + n +
                          "; if [ -e /proc/self/fd/" + k + " ]; then echo leaked; fi; echo \"$EXTRA\" >&2; exit 3",
                      {handed[1]}, {"EXTRA=from the test"}));
    close(handed[1]);
    EXPECT_EQ(d.wait(), 3);
    EXPECT_EQ(d.termSignal(), 0);
    EXPECT_FALSE(d.running());

    Lines lines = d.lines();
    EXPECT_EQ(lines.out, std::vector<std::string>{"first"});
    EXPECT_EQ(lines.err, (std::vector<std::string>{"oops", "from the test"}));
    EXPECT_EQ(d.output(), "first\nunfinished");
    char got[16] = {};
    EXPECT_EQ(read(handed[0], got, sizeof got), 6);
    EXPECT_STREQ(got, "handed");
    close(handed[0]);
    close(kept[0]);
    close(kept[1]);
}

TEST(DaemonProcess, TimeOutKillsTheProcess)
{
    DaemonProcess d;
    ASSERT_TRUE(shell(d, "echo ready; exec sleep 100"));
    EXPECT_TRUE(d.waitForLine("read"));
    EXPECT_TRUE(d.running());
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(d.wait(100ms), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(d.termSignal(), SIGKILL);
    EXPECT_FALSE(processExists(d.pid()));
}

TEST(DaemonProcess, ASignalEndsItWithoutStatus)
{
    DaemonProcess d;
    ASSERT_TRUE(shell(d, "exec sleep 100"));
    d.kill(SIGTERM);
    EXPECT_EQ(d.wait(), std::nullopt);
    EXPECT_EQ(d.termSignal(), SIGTERM);
}

TEST(DaemonProcess, WholeGroupIsGoneWhenTheObjectIs)
{
    pid_t leader, background;
    {
        DaemonProcess d;
        ASSERT_TRUE(shell(d, "sleep 100 & echo $!; wait"));
        ASSERT_TRUE(d.waitForLine(""));
        leader = d.pid();
        background = pid_t(std::atoi(d.lines().out.at(0).c_str()));
        ASSERT_GT(background, 0);
        EXPECT_EQ(getpgid(background), leader);
    }
    EXPECT_FALSE(processExists(leader));
    EXPECT_FALSE(processExists(background));
}

TEST(DaemonProcess, BackgroundMemberOutlivingTheLeaderIsReaped)
{
    pid_t background;
    {
        DaemonProcess d;
        ASSERT_TRUE(shell(d, "sleep 100 >/dev/null 2>&1 & echo $!"));
        EXPECT_EQ(d.wait(), 0);
        background = pid_t(std::atoi(d.lines().out.at(0).c_str()));
        EXPECT_TRUE(processExists(background));
    }
    EXPECT_FALSE(processExists(background));
}

TEST(DaemonProcess, ProgramThatCannotRunEndsWith127)
{
    DaemonProcess d;
    ASSERT_TRUE(d.start("/nonexistent/program", {"/nonexistent/program"}, {}));
    EXPECT_EQ(d.wait(), 127);
    EXPECT_TRUE(d.waitForLine("cannot execute /nonexistent/program"));
}

// A stand-in program that prints how it was called and which of its
// descriptors are open.
class CommandLines : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.path().empty());
        // The descriptors are the first argument, or the first two.
        write("voicephone-daemon", "$1 $2");
        write("playback-daemon", "$1");
        write("record-daemon", "$1");
        setenv("ORVEX_BIN_DIR", dir_.path().c_str(), 1);
    }
    void TearDown() override { unsetenv("ORVEX_BIN_DIR"); }
    void write(const std::string& name, const std::string& descriptors)
    {
        std::string path = dir_ / name;
        std::ofstream(path) << "#!/bin/sh\necho \"$0 $*\"\nfor fd in " << descriptors
                            << "; do [ -e /proc/self/fd/$fd ] && echo \"open $fd\"; done\nexit 0\n";
        chmod(path.c_str(), 0755);
    }
    kit::ScratchDir dir_;
};

TEST_F(CommandLines, EachDaemonGetsItsDescriptorsChunkSizeAndSegment)
{
    EXPECT_EQ(programPath("record-daemon"), dir_.path() + "/record-daemon");
    Segment seg;
    Line line;
    SoundDevice sound;
    const std::string tty = std::to_string(line.daemonFd());
    const std::string dsp = std::to_string(sound.daemonFd());
    const std::string id = std::to_string(seg.id());

    DaemonProcess voice;
    ASSERT_TRUE(startVoicePhone(voice, line, sound, 160, seg));
    EXPECT_EQ(voice.wait(), 0);
    const std::string bin = dir_.path();
    EXPECT_EQ(voice.lines().out, (std::vector<std::string>{bin + "/voicephone-daemon " + tty + " " + dsp + " 160 " + id,
                                                           "open " + tty, "open " + dsp}));

    DaemonProcess playback;
    ASSERT_TRUE(startPlayback(playback, sound, 1, seg));
    EXPECT_EQ(playback.wait(), 0);
    EXPECT_EQ(playback.lines().out,
              (std::vector<std::string>{bin + "/playback-daemon " + dsp + " 1 " + id, "open " + dsp}));

    DaemonProcess record;
    ASSERT_TRUE(startRecord(record, sound, 65536, seg));
    EXPECT_EQ(record.wait(), 0);
    EXPECT_EQ(record.lines().out.at(0), bin + "/record-daemon " + dsp + " 65536 " + id);
}

} // namespace
} // namespace sim
