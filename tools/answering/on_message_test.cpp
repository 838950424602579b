#include "on_message.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "scratch_dir.h"
#include "tape_wav.h"

namespace callctl {
namespace {

class OnMessage : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.empty());
    }
    std::string read(const std::string& name)
    {
        std::vector<uint8_t> bytes;
        std::string error;
        readWholeFile(dir_ + "/" + name, &bytes, &error);
        return std::string(bytes.begin(), bytes.end());
    }

    kit::ScratchDir scratch_;
    std::string dir_ = scratch_.path();
};

TEST_F(OnMessage, TheCommandSeesTheMessageInItsEnvironment)
{
    std::vector<std::string> logged;
    HookResult r = runOnMessage("printf '%s|%s|%s|%s' \"$MESSAGE_FILE\" \"$MESSAGE_JSON\" \"$MESSAGE_WAV\" \"$HOME\" > " +
                                    dir_ + "/seen",
                                "/box/new/a b.ul", "/box/new/a b.json", "/box/new/a b.wav", 10000,
                                [&](const std::string& line) { logged.push_back(line); });
    EXPECT_TRUE(r.ok()) << describeHookResult(r);
    EXPECT_TRUE(logged.empty());
    EXPECT_EQ(read("seen"), std::string("/box/new/a b.ul|/box/new/a b.json|/box/new/a b.wav|") + getenv("HOME"));
}

TEST_F(OnMessage, AFailingCommandIsLoggedOnce)
{
    std::vector<std::string> logged;
    auto log = [&](const std::string& line) { logged.push_back(line); };
    HookResult r = runOnMessage("echo oops >&2; exit 3", "a", "b", "c", 10000, log);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.exitStatus, 3);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("exit status 3"), std::string::npos) << logged[0];
    EXPECT_NE(logged[0].find("exit 3"), std::string::npos) << "the line names the command";

    r = runOnMessage("/no/such/program", "a", "b", "c", 10000, log);
    EXPECT_EQ(r.exitStatus, 127);
    r = runOnMessage("kill -TERM $$", "a", "b", "c", 10000, log);
    EXPECT_EQ(r.signal, SIGTERM);
    EXPECT_EQ(logged.size(), 3u);
}

TEST_F(OnMessage, ACommandThatHangsIsKilledWithWhatItStarted)
{
    auto start = std::chrono::steady_clock::now();
    HookResult r = runHook("sleep 60 & echo $! > " + dir_ + "/pid; wait", {}, 300);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(r.timedOut);
    EXPECT_FALSE(r.ok());
    EXPECT_LT(took, std::chrono::seconds(20));
    pid_t background = atoi(read("pid").c_str());
    ASSERT_GT(background, 0);
    // The background sleep was in the hook's process group: gone too (a
    // zombie until init reaps it counts as gone).
    bool gone = false;
    for (int i = 0; i < 2000 && !gone; ++i) {
        std::string stat = read("../../proc/" + std::to_string(background) + "/stat");
        gone = stat.empty() || stat.find(") Z") != std::string::npos;
        if (!gone)
            usleep(5000);
    }
    EXPECT_TRUE(gone) << "awaited the end of the hook's background process " << background;
}

TEST_F(OnMessage, NoDescriptorOfOursReachesTheCommand)
{
    // A line socket left open in the hook would keep the call up.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_GT(fds[1], 2);
    HookResult r = runHook("test -e /proc/self/fd/" + std::to_string(fds[1]) + " && exit 4; read x; exit 0", {}, 10000);
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(r.exitStatus, 0) << "descriptor " << fds[1] << " was inherited, or stdin was not /dev/null";
}

} // namespace
} // namespace callctl

namespace callctl {
namespace {

TEST_F(OnMessage, ANewMessageGetsItsWavBesideAndAFailingCommandChangesNothing)
{
    Mailbox box(dir_ + "/box");
    std::string error;
    ASSERT_TRUE(box.open(&error)) << error;
    PendingMessage pending;
    ASSERT_TRUE(box.beginMessage(&pending, &error)) << error;
    ASSERT_TRUE(writeWholeFile(pending.audioPath, std::vector<uint8_t>(8000, 0x80), &error));
    MessageMeta meta;
    meta.caller = "sip:alice@h";
    meta.start = 1796778123;
    Message m;
    ASSERT_TRUE(box.commitMessage(&pending, meta, &m, &error)) << error;

    std::vector<std::string> logged;
    HookResult r = announceNewMessage(box, m, "cmp -s \"$MESSAGE_FILE\" " + m.audioPath +
                                                  " && test -s \"$MESSAGE_WAV\" && test -s \"$MESSAGE_JSON\" && exit 5",
                                      10000, [&](const std::string& line) { logged.push_back(line); });
    EXPECT_EQ(r.exitStatus, 5) << "the command saw the message, its WAV and its record";
    ASSERT_EQ(logged.size(), 1u) << "the failure is logged";
    std::vector<Message> all = box.list(&error);
    ASSERT_EQ(all.size(), 1u) << "and the message stays";
    EXPECT_EQ(all[0].stem, m.stem);
    EXPECT_FALSE(all[0].meta.heard);

    // The WAV follows the message into the trash and goes with it.
    std::string besideNew = dir_ + "/box/new/" + m.stem + ".wav";
    ASSERT_EQ(access(besideNew.c_str(), F_OK), 0);
    ASSERT_TRUE(box.moveToTrash(&all[0], 1796778123, &error)) << error;
    EXPECT_NE(access(besideNew.c_str(), F_OK), 0);
    EXPECT_EQ(access((dir_ + "/box/trash/" + m.stem + ".wav").c_str(), F_OK), 0);
    EXPECT_EQ(box.purge(1796778123 + trashKeepSeconds + 1), 3);
    EXPECT_NE(access((dir_ + "/box/trash/" + m.stem + ".wav").c_str(), F_OK), 0);
}

} // namespace
} // namespace callctl
