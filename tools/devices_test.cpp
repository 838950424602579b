#include "devices.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "scratch_dir.h"
#include "whole_file.h"

namespace callctl {
namespace {

TEST(Devices, SoundChoicesAreToldApartByTheirShape)
{
    SoundChoice s;
    std::string error;
    ASSERT_TRUE(soundChoiceFrom("", "", &s, &error));
    EXPECT_EQ(s.kind, SoundChoice::Kind::Sim);
    ASSERT_TRUE(soundChoiceFrom("Heard.WAV", "", &s, &error));
    EXPECT_EQ(s.kind, SoundChoice::Kind::Wav);
    ASSERT_TRUE(soundChoiceFrom("/dev/dsp", "", &s, &error));
    EXPECT_EQ(s.kind, SoundChoice::Kind::Oss);
    ASSERT_TRUE(soundChoiceFrom("", "aplay", &s, &error));
    EXPECT_EQ(s.kind, SoundChoice::Kind::Command);
    EXPECT_EQ(s.value, "aplay");
    EXPECT_FALSE(soundChoiceFrom("/dev/dsp", "aplay", &s, &error));
}

TEST(Devices, LineChoicesAreParsedAndInheritedDescriptorsChecked)
{
    LineChoice l;
    std::string error;
    ASSERT_TRUE(lineChoiceFrom("sim", &l, &error));
    EXPECT_EQ(l.kind, LineChoice::Kind::Sim);
    ASSERT_TRUE(lineChoiceFrom("/dev/ttyI3", &l, &error));
    EXPECT_EQ(l.kind, LineChoice::Kind::Tty);
    EXPECT_EQ(l.path, "/dev/ttyI3");
    ASSERT_TRUE(lineChoiceFrom("fd:17", &l, &error));
    EXPECT_EQ(l.kind, LineChoice::Kind::Inherited);
    EXPECT_EQ(l.fd, 17);
    // callctl's own standard streams are never a line; nor is a non-number.
    for (const char* bad : {"fd:", "fd:2", "fd:-4", "fd:3x", "fd:99999999999"}) {
        EXPECT_FALSE(lineChoiceFrom(bad, &l, &error)) << bad;
        EXPECT_NE(error.find(bad), std::string::npos) << error;
    }

    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    EXPECT_EQ(openLineChoice({LineChoice::Kind::Inherited, pair[0], ""}, &error), pair[0]) << error;
    int dgram[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, dgram), 0);
    EXPECT_EQ(openLineChoice({LineChoice::Kind::Inherited, dgram[0], ""}, &error), -1);
    EXPECT_NE(error.find("stream socket"), std::string::npos) << error;
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(openLineChoice({LineChoice::Kind::Inherited, p[0], ""}, &error), -1);
    EXPECT_NE(error.find("reading and writing"), std::string::npos) << error;
    int closedFd = p[1];
    for (int fd : {pair[0], pair[1], dgram[0], dgram[1], p[0], p[1]})
        close(fd);
    EXPECT_EQ(openLineChoice({LineChoice::Kind::Inherited, closedFd, ""}, &error), -1);
    EXPECT_NE(error.find("no such descriptor"), std::string::npos) << error;

    // A pty handed over is put in raw mode, as an opened tty is.
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(openLineChoice({LineChoice::Kind::Inherited, slave, ""}, &error), slave) << error;
    struct termios t;
    ASSERT_EQ(tcgetattr(slave, &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    close(master);
    close(slave);
}

TEST(Devices, ASoundCommandGetsEverythingAndTheEndOfIt)
{
    kit::ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    std::string out = dir / "got.raw";
    std::string error;
    std::vector<uint8_t> bytes(50000);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i);
    {
        SoundEndpoint e;
        ASSERT_TRUE(e.open({SoundChoice::Kind::Command, "cat > '" + out + "'", ""}, SoundUse::Play, 1, {}, false, &error))
            << error;
        // Played the way a daemon does it: from a copy of the descriptor,
        // which ends when the "daemon" ends.
        int daemonCopy = dup(e.daemonFd());
        e.closeDaemonEnd();
        ASSERT_EQ(write(daemonCopy, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(daemonCopy);
        ASSERT_TRUE(e.finish(&error)) << error;
    }
    std::ifstream f(out, std::ios::binary);
    EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {}), bytes);
}

// A player's end is judged as soon as it is seen, which may be before the
// daemon's own end is, or only after it: one that took all the daemon
// wrote, up to the daemon's close, ended well; one that quit earlier did
// not, whatever its status.
TEST(Devices, APlayerEndsWellOnlyHavingTakenAllTheDaemonWrote)
{
    struct Case {
        const char* player;
        bool daemonCloses; // before the player ends
        bool watched;      // its end seen while the daemon runs, not at finish()
        bool ok;
    };
    for (const Case& c : {Case{"cat > /dev/null", true, true, true}, Case{"cat > /dev/null", true, false, true},
                          Case{"true", true, true, false}, Case{"true", true, false, false},
                          Case{"dd bs=1 count=10 of=/dev/null status=none", true, true, false},
                          Case{"head -c 10 > /dev/null", false, true, false}}) {
        std::string what = std::string(c.player) + (c.watched ? ", watched" : ", seen at the finish");
        kit::ScratchDir dir;
        ASSERT_FALSE(dir.path().empty());
        std::string pidFile = dir / "pid", error;
        SoundEndpoint e;
        ASSERT_TRUE(e.open({SoundChoice::Kind::Command, "echo $$ > '" + pidFile + "'; exec " + c.player, ""},
                           SoundUse::Play, 1, {}, false, &error))
            << error;
        int daemonCopy = dup(e.daemonFd());
        e.closeDaemonEnd();
        // What fits the pipe, so that nothing waits on a player that quits.
        std::vector<uint8_t> bytes(4096, 0x55);
        ASSERT_EQ(write(daemonCopy, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        if (c.daemonCloses)
            close(daemonCopy);
        pid_t pid = 0;
        std::string problem;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        // Watched, the player is gone once the endpoint has noticed its end;
        // unwatched, it waits as a zombie for finish().
        auto ended = [&] {
            if (c.watched)
                return kill(pid, 0) != 0;
            std::string stat = kit::readText("/proc/" + std::to_string(pid) + "/stat");
            size_t close = stat.rfind(')');
            return close != std::string::npos && stat.compare(close, 4, ") Z ") == 0;
        };
        while (pid == 0 || !ended()) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << what << " never ended";
            std::string text = kit::readText(pidFile);
            if (pid == 0 && !text.empty() && text.back() == '\n')
                pid = std::stoi(text);
            if (c.watched)
                problem = e.problem();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (c.ok || !c.watched) {
            EXPECT_EQ(problem, "") << what;
        } else {
            EXPECT_NE(problem.find("ended before the sound did"), std::string::npos) << what << ": " << problem;
        }
        if (!c.daemonCloses)
            close(daemonCopy);
        EXPECT_EQ(e.finish(&error), c.ok) << what << ": " << error;
        if (!c.ok) {
            EXPECT_NE(error.find("ended before the sound did, with status 0"), std::string::npos) << what << ": " << error;
        }
    }
}

// A call's microphone command is stopped at the end of the call, but what
// it started may still write after that.  What comes too late is dropped;
// the player is not cut off by it.
TEST(Devices, AMicrophoneThatSpeaksAfterItsStopLeavesThePlayerItsEnd)
{
    kit::ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    std::string got = dir / "got.raw", error;
    // Out of the command's process group and holding its standard error, so
    // that its late words land before callctl lets go of the socket.
    std::string mic = "cd '" + dir.path() +
                      "' && setsid sh -c ': > started; sleep 0.3; head -c 100 /dev/zero' & exec sleep 1000";
    std::vector<uint8_t> speaker(2000, 0x55);
    {
        SoundEndpoint e;
        ASSERT_TRUE(e.open({SoundChoice::Kind::Command, "cat > '" + got + "'", mic}, SoundUse::Call, 1, {}, false, &error))
            << error;
        int daemonCopy = dup(e.daemonFd());
        e.closeDaemonEnd();
        ASSERT_EQ(write(daemonCopy, speaker.data(), speaker.size()), static_cast<ssize_t>(speaker.size()));
        close(daemonCopy);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (access((dir / "started").c_str(), F_OK) != 0) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the microphone's late speaker never started";
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_TRUE(e.finish(&error)) << error;
    }
    EXPECT_EQ(kit::readFile(got), speaker);
}

TEST(Devices, ALineIsOpenedRawAndMustBeATty)
{
    int master = -1, slave = -1;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    std::string error;
    int fd = openLine(name, &error);
    ASSERT_GE(fd, 0) << error;
    struct termios t;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    // No echo, no line editing, no CR/LF translation, 8-bit bytes: DLE
    // framing and µ-law audio pass untouched.
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    close(fd);
    close(slave);
    close(master);
    EXPECT_LT(openLine("/dev/null", &error), 0);
    EXPECT_EQ(error.rfind("/dev/null is not a tty", 0), 0u) << error;
    EXPECT_LT(openLine("/nonexistent/ttyI0", &error), 0);
    EXPECT_NE(error.find("can't open line /nonexistent/ttyI0"), std::string::npos);
}

} // namespace
} // namespace callctl
