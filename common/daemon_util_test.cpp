#include "daemon_util.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "scratch_dir.h"

namespace {

const char* const testPrefix = "Test daemon (server): ";

std::string readAll(int fd)
{
    std::string s;
    char buf[512];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    return s;
}

// Sends one of the standard streams to a memory file while it lives.
class Captured {
public:
    Captured(int fd, FILE* stream) : fd_(fd), stream_(stream)
    {
        fflush(stream_);
        file_ = memfd_create("captured", MFD_CLOEXEC);
        saved_ = dup(fd_);
        dup2(file_, fd_);
    }
    ~Captured()
    {
        restore();
        close(file_);
    }
    std::string text()
    {
        restore();
        lseek(file_, 0, SEEK_SET);
        return readAll(file_);
    }

private:
    void restore()
    {
        if (saved_ < 0)
            return;
        fflush(stream_);
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
    }
    int fd_;
    FILE* stream_;
    int file_ = -1;
    int saved_ = -1;
};

struct CapturedStdout : Captured {
    CapturedStdout() : Captured(STDOUT_FILENO, stdout) {}
};
struct CapturedStderr : Captured {
    CapturedStderr() : Captured(STDERR_FILENO, stderr) {}
};

TEST(Arguments, ConvertLikeStrtolAndClampToInt)
{
    EXPECT_EQ(argumentValue("12"), 12);
    EXPECT_EQ(argumentValue("-3"), -3);
    EXPECT_EQ(argumentValue(" 42"), 42);
    EXPECT_EQ(argumentValue("7x"), 7);
    EXPECT_EQ(argumentValue("abc"), 0);
    EXPECT_EQ(argumentValue(""), 0);
    EXPECT_EQ(argumentValue("99999999999"), INT_MAX);
    EXPECT_EQ(argumentValue("-99999999999"), INT_MIN);
    EXPECT_EQ(argumentValue("99999999999999999999999"), INT_MAX);
}

TEST(Messages, BannerAndDyingCarryThePrefix)
{
    CapturedStdout out;
    printBanner(voicePhonePrefix, 1, 1, 0, 3);
    printDying(playbackSlavePrefix);
    EXPECT_EQ(out.text(), "Orvex VoicePhone daemon: Version 1.1.0 (build 3)\n"
                          "Orvex Playback daemon (slave): Dying\n");
}

TEST(ChunkSize, OnlyOneTo65536IsAccepted)
{
    CapturedStderr err;
    EXPECT_TRUE(chunkSizeValid(1, testPrefix));
    EXPECT_TRUE(chunkSizeValid(65536, testPrefix));
    std::string accepted = err.text();
    EXPECT_EQ(accepted, "");

    for (int bad : {0, 65537, -1}) {
        CapturedStderr refusal;
        EXPECT_FALSE(chunkSizeValid(bad, testPrefix));
        std::string line = refusal.text();
        EXPECT_EQ(line.rfind(testPrefix, 0), 0u) << line;
        EXPECT_NE(line.find(std::to_string(bad)), std::string::npos) << line;
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
        EXPECT_EQ(line.back(), '\n');
    }
}

class Segment {
public:
    explicit Segment(size_t bytes) : id(shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600)) {}
    ~Segment() { remove(); }
    void remove()
    {
        if (id >= 0)
            shmctl(id, IPC_RMID, nullptr);
    }
    unsigned long attachments() const
    {
        shmid_ds info{};
        return shmctl(id, IPC_STAT, &info) == 0 ? info.shm_nattch : ~0UL;
    }
    int id;
};

// One line on standard error, from the given prefix, naming the segment.
void expectRefusalNaming(const std::string& text, int id)
{
    EXPECT_EQ(text.rfind(testPrefix, 0), 0u) << text;
    EXPECT_NE(text.find(std::to_string(id)), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_EQ(text.back(), '\n');
}

TEST(Attach, RefusesAMissingOrShortSegmentWithoutAttaching)
{
    int goneId;
    {
        Segment gone(controlBlockSize);
        ASSERT_GE(gone.id, 0);
        goneId = gone.id;
    }
    {
        CapturedStderr err;
        EXPECT_EQ(attachControlBlock(goneId, testPrefix), nullptr);
        expectRefusalNaming(err.text(), goneId);
    }

    Segment shortOne(controlBlockSize - 1);
    ASSERT_GE(shortOne.id, 0);
    CapturedStderr err;
    EXPECT_EQ(attachControlBlock(shortOne.id, testPrefix), nullptr);
    expectRefusalNaming(err.text(), shortOne.id);
    EXPECT_EQ(shortOne.attachments(), 0u);
}

TEST(Attach, APrivilegedDaemonTrustsOnlyItsCallersUnwritableSegment)
{
    constexpr uid_t caller = 1000;
    EXPECT_EQ(segmentDistrust(caller, caller, 0600, caller), nullptr);
    EXPECT_EQ(segmentDistrust(caller, caller, 0644, caller), nullptr); // others may read it
    EXPECT_EQ(segmentDistrust(caller, 0, 0600, caller), nullptr);      // handed over by root
    EXPECT_EQ(segmentDistrust(0, 0, 0400, 0), nullptr);
    EXPECT_STREQ(segmentDistrust(caller, caller, 0620, caller), "is writable by others");
    EXPECT_STREQ(segmentDistrust(caller, caller, 0602, caller), "is writable by others");
    EXPECT_STREQ(segmentDistrust(0, 0, 0666, 0), "is writable by others");
    EXPECT_STREQ(segmentDistrust(65534, 65534, 0600, 0), "belongs to another user");
    EXPECT_STREQ(segmentDistrust(0, 0, 0600, caller), "belongs to another user"); // a setuid start
    EXPECT_STREQ(segmentDistrust(caller, 65534, 0600, caller), "was created by another user");
}

TEST(Attach, MapsAWholeBlock)
{
    Segment segment(controlBlockSize);
    ASSERT_GE(segment.id, 0);
    auto* view = static_cast<ControlBlock*>(shmat(segment.id, nullptr, 0));
    ASSERT_NE(view, reinterpret_cast<void*>(-1));
    writeWord(view->wrapMode, 16);

    CapturedStderr err;
    ControlBlock* cb = attachControlBlock(segment.id, testPrefix);
    ASSERT_NE(cb, nullptr);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(readWord(cb->wrapMode), 16u);
    EXPECT_EQ(segment.attachments(), 2u);
    shmdt(cb);
    shmdt(view);
}

void setField(char (&field)[pathFieldSize], const std::string& text)
{
    memset(field, 0, pathFieldSize);
    memcpy(field, text.data(), std::min(text.size(), pathFieldSize));
}

TEST(PathField, WithoutATerminatorInsideItIsNotAPath)
{
    char field[pathFieldSize];
    setField(field, std::string(pathFieldSize - 1, 'a'));
    EXPECT_TRUE(pathFrom(field).valid);

    setField(field, "/tmp/" + std::string(pathFieldSize, 'b'));
    PathName unterminated = pathFrom(field);
    EXPECT_FALSE(unterminated.valid);
    EXPECT_EQ(strlen(unterminated.text), pathFieldSize); // cut at the field for messages
    errno = 0;
    EXPECT_EQ(openFile(unterminated, FileMode::Create), nullptr);
    EXPECT_NE(errno, 0);
}

class Files : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.empty());
    }

    PathName path(const std::string& name)
    {
        char field[pathFieldSize];
        setField(field, dir_ + "/" + name);
        return pathFrom(field);
    }
    void put(const PathName& p, const std::string& content)
    {
        FILE* f = fopen(p.text, "wb");
        ASSERT_NE(f, nullptr);
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
    }
    std::string content(const PathName& p)
    {
        int fd = open(p.text, O_RDONLY | O_CLOEXEC);
        std::string s = fd >= 0 ? readAll(fd) : "<missing>";
        if (fd >= 0)
            close(fd);
        return s;
    }
    static struct stat statOf(const PathName& p)
    {
        struct stat st{};
        lstat(p.text, &st);
        return st;
    }

    kit::ScratchDir scratch_;
    std::string dir_ = scratch_.path();
};

TEST_F(Files, ModesReadUpdateAndCreateLikeTheirStdioNames)
{
    PathName missing = path("missing");
    errno = 0;
    EXPECT_EQ(openFile(missing, FileMode::Read), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(openFile(missing, FileMode::Update), nullptr);
    EXPECT_EQ(content(missing), "<missing>");

    PathName tape = path("tape");
    put(tape, "hello");
    FILE* update = openFile(tape, FileMode::Update);
    ASSERT_NE(update, nullptr);
    EXPECT_EQ(fwrite("J", 1, 1, update), 1u);
    EXPECT_EQ(content(tape), "Jello"); // not truncated, and written at once
    fclose(update);

    FILE* read = openFile(tape, FileMode::Read);
    ASSERT_NE(read, nullptr);
    char buf[8] = {};
    EXPECT_EQ(fread(buf, 1, sizeof buf, read), 5u);
    EXPECT_EQ(fwrite("x", 1, 1, read), 0u);
    fclose(read);

    FILE* create = openFile(tape, FileMode::Create);
    ASSERT_NE(create, nullptr);
    EXPECT_EQ(content(tape), "");
    EXPECT_EQ(fwrite("abc", 1, 3, create), 3u);
    EXPECT_EQ(content(tape), "abc");
    fclose(create);

    PathName fresh = path("fresh");
    FILE* created = openFile(fresh, FileMode::Create);
    ASSERT_NE(created, nullptr);
    fclose(created);
    EXPECT_TRUE(S_ISREG(statOf(fresh).st_mode));
}

TEST_F(Files, ASymbolicLinkIsNeverFollowed)
{
    PathName target = path("precious");
    put(target, "keep me");
    PathName link = path("tape");
    ASSERT_EQ(symlink(target.text, link.text), 0);

    for (FileMode mode : {FileMode::Read, FileMode::Update, FileMode::Create}) {
        errno = 0;
        EXPECT_EQ(openFile(link, mode), nullptr);
        EXPECT_EQ(errno, ELOOP);
    }
    EXPECT_EQ(content(target), "keep me");
}

TEST_F(Files, AFifoDoesNotHangTheOpen)
{
    PathName fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.text, 0644), 0);
    alarm(10); // a hang ends the test binary instead of the whole run
    FILE* create = openFile(fifo, FileMode::Create); // nobody reads: refused at once
    FILE* read = openFile(fifo, FileMode::Read);
    alarm(0);
    EXPECT_NE(read, nullptr);
    EXPECT_EQ(create, nullptr);
    if (read)
        fclose(read);
}

TEST_F(Files, OwnershipGoesToTheUserWithModeSixHundred)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "changing a file's owner needs root";
    auto cb = std::make_unique<ControlBlock>();
    writeWord(cb->ownerUid, 4321);
    writeWord(cb->ownerGid, 8765);
    PathName tape = path("tape");
    FILE* file = openFile(tape, FileMode::Create);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(fchmod(fileno(file), 0644), 0);

    CapturedStdout out;
    CapturedStderr err;
    EXPECT_TRUE(setFileOwnership(testPrefix, *cb, file, tape));
    std::string printed = out.text();
    EXPECT_EQ(printed, std::string(testPrefix) + "Set owner of " + tape.text + " to 4321.8765\n" + testPrefix +
                           "Set access permissions of " + tape.text + " to rw-------\n");
    EXPECT_EQ(err.text(), "");
    fclose(file);

    struct stat st = statOf(tape);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 8765u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(Files, ANonRegularFileIsLeftAlone)
{
    auto cb = std::make_unique<ControlBlock>();
    writeWord(cb->ownerUid, 4321);
    writeWord(cb->ownerGid, 8765);
    PathName fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.text, 0644), 0);
    struct stat before = statOf(fifo);
    FILE* file = openFile(fifo, FileMode::Read);
    ASSERT_NE(file, nullptr);

    CapturedStdout out;
    CapturedStderr err;
    EXPECT_FALSE(setFileOwnership(testPrefix, *cb, file, fifo));
    std::string printed = out.text();
    EXPECT_EQ(printed, "");
    EXPECT_EQ(err.text(), std::string(testPrefix) + "Could NOT set owner of " + fifo.text + " to 4321.8765\n");
    fclose(file);

    struct stat after = statOf(fifo);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_EQ(after.st_mode, before.st_mode);
}

// A file of another user that this process may not give away: the refusal
// is reported and the permissions stay.  Run in a child, which as root first
// becomes nobody.
TEST_F(Files, AFileThatCannotBeGivenAwayKeepsItsMode)
{
    PathName tape = path("tape");
    put(tape, "x");
    ASSERT_EQ(chmod(tape.text, 0644), 0);
    struct stat before = statOf(tape);
    const uint32_t nobody = 65534;
    const uint32_t owner = geteuid() == 0 ? nobody : 0; // not ours to give in either case
    auto cb = std::make_unique<ControlBlock>();
    writeWord(cb->ownerUid, owner);
    writeWord(cb->ownerGid, owner);
    FILE* file = openFile(tape, FileMode::Read);
    ASSERT_NE(file, nullptr);

    int report[2];
    ASSERT_EQ(pipe(report), 0);
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(report[1], STDERR_FILENO);
        dup2(report[1], STDOUT_FILENO);
        if (geteuid() == 0 && (setegid(nobody) != 0 || seteuid(nobody) != 0))
            _exit(2);
        bool given = setFileOwnership(testPrefix, *cb, file, tape);
        fflush(nullptr);
        _exit(given ? 1 : 0);
    }
    close(report[1]);
    std::string printed = readAll(report[0]);
    close(report[0]);
    int status = 0;
    waitpid(child, &status, 0);
    fclose(file);

    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(printed, std::string(testPrefix) + "Could NOT set owner of " + tape.text + " to " +
                           std::to_string(owner) + "." + std::to_string(owner) + "\n");
    struct stat after = statOf(tape);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_mode, before.st_mode);
}

// The application reads a daemon's lines from a pipe.  Each must arrive when
// printed, and text not yet flushed at a fork must not come out of both
// processes.  A reader that goes away must not kill the writer.
TEST(DaemonProcess, LinesArriveWhenPrintedOnceAndAGoneReaderIsAnError)
{
    int out[2], go[2];
    ASSERT_EQ(pipe(out), 0);
    ASSERT_EQ(pipe(go), 0);
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        close(go[1]);
        prepareDaemonProcess();
        printf("Started\n");
        char c;
        if (read(go[0], &c, 1) != 1)
            _exit(2);
        printf("unfinished");
        pid_t worker = forkWorker();
        if (worker == 0) {
            printf("|worker\n");
            fflush(stdout);
            _exit(0);
        }
        waitpid(worker, nullptr, 0);
        printf("|parent\n");
        fflush(stdout);

        int gone[2];
        if (pipe(gone) != 0)
            _exit(2);
        close(gone[0]);
        bool brokenPipeIsAnError = write(gone[1], "x", 1) == -1 && errno == EPIPE;
        _exit(worker > 0 && brokenPipeIsAnError ? 0 : 3);
    }
    close(out[1]);
    close(go[0]);

    // The first line must be readable while the child still waits for us.
    std::string first;
    pollfd readable{out[0], POLLIN, 0};
    while (first.find('\n') == std::string::npos && poll(&readable, 1, 5000) == 1) {
        char buf[64];
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        first.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(first, "Started\n");
    ASSERT_EQ(write(go[1], "g", 1), 1);
    close(go[1]);
    std::string rest = readAll(out[0]);
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);

    EXPECT_EQ(rest, "unfinished|worker\n|parent\n");
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
