#include "line_end.h"
#include "scratch_dir.h"
#include "wait_until.h"
#include "whole_file.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sipline {
namespace {

std::string target(const std::string& link)
{
    char buf[256];
    ssize_t n = readlink(link.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// The published path: a link an earlier run left is taken over and removed
// at the end, somebody's file is never touched, and a path another line
// has taken since is left to it.
TEST(PtyLink, ReplacesOnlyALinkAndRemovesOnlyItsOwn)
{
    kit::ScratchDir dir;
    const std::string link = dir / "line";
    ASSERT_EQ(symlink("/dev/pts/99999", link.c_str()), 0);
    {
        LineEnd end;
        std::string error;
        ASSERT_TRUE(end.openPty(link, error)) << error;
        std::string pty = target(link);
        EXPECT_EQ(pty.rfind("/dev/pts/", 0), 0u) << pty;
        EXPECT_NE(pty, "/dev/pts/99999");
        int app = open(link.c_str(), O_RDWR | O_NOCTTY);
        EXPECT_GE(app, 0) << "the link leads to the line";
        if (app >= 0)
            close(app);
    }
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link outlived its line";

    const std::string file = dir / "file";
    const std::vector<uint8_t> precious{'p', 'r', 'e', 'c', 'i', 'o', 'u', 's', '\n'};
    ASSERT_TRUE(kit::writeFile(file, precious));
    {
        LineEnd end;
        std::string error;
        EXPECT_FALSE(end.openPty(file, error));
        EXPECT_EQ(error, file + ": exists and is not a symbolic link; not replacing it");
    }
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(kit::readFile(file), precious);

    {
        LineEnd end;
        std::string error;
        ASSERT_TRUE(end.openPty(link, error)) << error;
        // Another line publishes itself at the same path meanwhile.
        ASSERT_EQ(unlink(link.c_str()), 0);
        ASSERT_EQ(symlink("/dev/pts/elsewhere", link.c_str()), 0);
    }
    EXPECT_EQ(target(link), "/dev/pts/elsewhere");
}

// How a line's command ended reaches its line once, whoever reaped it: the
// line asking whether its application is gone, or the reaping of any child
// that ended.  One hung up on while it held the line says so.
TEST(LineCommand, EachEndingIsToldOnceWhoeverReapedIt)
{
    struct sigaction child{}, before{};
    child.sa_handler = [](int) { LineEnd::childSignalled(); };
    sigemptyset(&child.sa_mask);
    child.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    ASSERT_EQ(sigaction(SIGCHLD, &child, &before), 0);
    constexpr std::chrono::seconds patience{30};
    std::string error;

    // A command on a pty line that never opens it: only its end tells that
    // it let go, even when the reaping of all children took it first.
    LineEnd failing;
    ASSERT_TRUE(failing.openPty("", error) && failing.spawn("exit 3", "sip:a@x", "sip:b@y", error)) << error;
    pid_t failed = failing.command();
    EXPECT_TRUE(kit::waitUntil([] { return !LineEnd::childrenLeft(); }, patience));
    EXPECT_TRUE(failing.appGone()) << "the command's end was lost to the reaping of all children";
    failing.close();
    auto ended = LineEnd::takeEnded(failed);
    ASSERT_TRUE(ended);
    EXPECT_TRUE(WIFEXITED(ended->status) && WEXITSTATUS(ended->status) == 3) << ended->status;
    EXPECT_FALSE(ended->hungUp);
    EXPECT_FALSE(LineEnd::takeEnded(failed)) << "told twice";

    pid_t held;
    {
        LineEnd holding;
        ASSERT_TRUE(holding.openSocket(error) && holding.spawn("exec sleep 30", "", "", error)) << error;
        held = holding.command();
    } // let go while the command holds the line: it has SIGHUP
    std::optional<LineEnd::Ended> hungUp;
    EXPECT_TRUE(kit::waitUntil([&] {
        LineEnd::reapChildren();
        return (hungUp = LineEnd::takeEnded(held)).has_value();
    }, patience));
    if (hungUp) {
        EXPECT_TRUE(hungUp->hungUp);
        EXPECT_TRUE(WIFSIGNALED(hungUp->status) && WTERMSIG(hungUp->status) == SIGHUP) << hungUp->status;
    }
    EXPECT_FALSE(LineEnd::childrenLeft());
    sigaction(SIGCHLD, &before, nullptr);
}

} // namespace
} // namespace sipline
