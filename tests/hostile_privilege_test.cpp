// A daemon run as root (or setuid) acts on files named by whoever can write
// the record.  Only a record its caller owns, that nobody else can write,
// is trusted; any other is refused before anything is read from it, and
// nothing on disk or in the record changes.  These need root to run.
#include <cstring>
#include <functional>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "daemon_process.h"
#include "record_harness.h"
#include "reliability_kit.h"
#include "segment.h"
#include "sound_device.h"

namespace {

using namespace std::chrono_literals;
using kit::ScratchDir;

constexpr uid_t nobody = 65534;
constexpr gid_t nogroup = 65534;
constexpr int chunk = 160;

struct Daemon {
    const char* program;
    const char* prefix;
};
const Daemon daemons[] = {
    {"voicephone-daemon", "Orvex VoicePhone daemon: "},
    {"playback-daemon", "Orvex Playback daemon (server): "},
    {"record-daemon", "Orvex Record daemon (server): "},
};

std::vector<std::string> argumentsFor(const std::string& program, int fd, int segment)
{
    std::vector<std::string> args{sim::programPath(program)};
    if (program == "voicephone-daemon")
        args.push_back(std::to_string(fd)); // the line: the same descriptor serves
    args.push_back(std::to_string(fd));
    args.push_back(std::to_string(chunk));
    args.push_back(std::to_string(segment));
    return args;
}

// The same command line, run through setpriv as another user: the daemon's
// real ids (and, for a setuid copy, only those) are nobody's.
std::vector<std::string> asNobody(std::vector<std::string> args)
{
    args.insert(args.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    return args;
}

void setMode(int id, unsigned mode, uid_t owner = 0)
{
    shmid_ds info{};
    ASSERT_EQ(shmctl(id, IPC_STAT, &info), 0);
    info.shm_perm.mode = mode;
    info.shm_perm.uid = owner;
    ASSERT_EQ(shmctl(id, IPC_SET, &info), 0) << strerror(errno);
}

// A segment created by nobody, as an attacker would make it; removed at the end.
class ForeignSegment {
public:
    explicit ForeignSegment(unsigned mode)
    {
        int ids[2];
        if (pipe(ids) != 0)
            return;
        pid_t child = fork();
        if (child == 0) {
            int id = -1;
            if (setgid(nogroup) == 0 && setuid(nobody) == 0)
                id = shmget(IPC_PRIVATE, controlBlockSize, IPC_CREAT | mode);
            _exit(write(ids[1], &id, sizeof id) == sizeof id ? 0 : 1);
        }
        close(ids[1]);
        if (read(ids[0], &id_, sizeof id_) != sizeof id_)
            id_ = -1;
        close(ids[0]);
        waitpid(child, nullptr, 0);
        if (id_ >= 0) {
            void* at = shmat(id_, nullptr, 0);
            block_ = at == reinterpret_cast<void*>(-1) ? nullptr : static_cast<ControlBlock*>(at);
        }
    }
    ~ForeignSegment()
    {
        if (block_)
            shmdt(block_);
        if (id_ >= 0)
            shmctl(id_, IPC_RMID, nullptr);
    }
    int id() const { return id_; }
    ControlBlock* block() const { return block_; }

private:
    int id_ = -1;
    ControlBlock* block_ = nullptr;
};

// Everything in a record, to show that a refused daemon changed nothing.
std::vector<uint8_t> snapshot(const ControlBlock& cb)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(&cb);
    return std::vector<uint8_t>(bytes, bytes + controlBlockSize);
}

// A record that asks for every file a daemon could touch in `dir`, as an
// attacker would fill it: a victim to truncate and hand over, a file to
// create.
void fillHostile(ControlBlock& cb, const ScratchDir& dir)
{
    sim::Segment::setPath(cb.ingoingPath, dir / "victim");
    sim::Segment::setPath(cb.outgoingPath, dir / "victim");
    sim::Segment::setPath(cb.messagePath, dir / "victim");
    sim::Segment::setPath(cb.responsePath, dir / "created");
    writeWord(cb.ownerUid, nobody);
    writeWord(cb.ownerGid, nogroup);
    writeWord(cb.wrapMode, 1);
    writeWord(cb.tapeLimit, 0xFFFFFFFF);
    writeWord(cb.recordFlags, FlagStartRequest);
    writeWord(cb.playFlags, FlagStartRequest);
}

// Runs each daemon against the record and expects the refusal `why`.
void expectRefused(int segmentId, ControlBlock& cb, const std::string& why,
                   const std::function<std::vector<std::string>(std::vector<std::string>)>& wrap =
                       [](std::vector<std::string> a) { return a; })
{
    ScratchDir dir;
    std::vector<uint8_t> precious = reliab::pattern(800, 7);
    ASSERT_TRUE(kit::writeFile(dir / "victim", precious));
    ASSERT_EQ(chmod((dir / "victim").c_str(), 0600), 0);
    fillHostile(cb, dir);
    for (const Daemon& d : daemons) {
        SCOPED_TRACE(d.program);
        std::vector<uint8_t> before = snapshot(cb);
        sim::SoundDevice sound;
        sim::DaemonProcess process;
        std::vector<std::string> args = wrap(argumentsFor(d.program, sound.daemonFd(), segmentId));
        ASSERT_TRUE(process.start(args.front(), args, {sound.daemonFd()}, {"ASAN_OPTIONS=detect_leaks=0"}));
        EXPECT_EQ(process.wait(10s), std::optional<int>(1));
        EXPECT_EQ(process.errors(), std::string(d.prefix) + "Shared memory segment " + std::to_string(segmentId) +
                                        " " + why + "; refusing to run privileged\n");
        EXPECT_TRUE(snapshot(cb) == before) << "the record changed";
        struct stat st;
        ASSERT_EQ(stat((dir / "victim").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u) << "the victim was handed over";
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(kit::readFile(dir / "victim"), precious);
        EXPECT_NE(access((dir / "created").c_str(), F_OK), 0) << "a file was created";
    }
}

class Privileged : public testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "running a daemon privileged needs root";
    }
};

TEST_F(Privileged, ARecordOthersCanWriteIsRefused)
{
    for (unsigned mode : {0666u, 0620u, 0602u}) {
        SCOPED_TRACE(mode);
        sim::Segment seg;
        setMode(seg.id(), mode);
        expectRefused(seg.id(), seg.block(), "is writable by others");
    }
}

// The attack: nobody makes a record naming root's files and gets a root
// daemon started on it.
TEST_F(Privileged, ARecordOfAnotherUserIsRefused)
{
    ForeignSegment foreign(0600);
    ASSERT_NE(foreign.block(), nullptr);
    expectRefused(foreign.id(), *foreign.block(), "belongs to another user");

    // Given to root afterwards, it was still made by nobody, who may change
    // its permissions at will.
    setMode(foreign.id(), 0600, 0);
    expectRefused(foreign.id(), *foreign.block(), "was created by another user");
}

// A setuid copy started by nobody reaches only nobody's own record.
TEST_F(Privileged, ASetuidCopyCannotReachAnotherUsersRecord)
{
    ScratchDir bin;
    ASSERT_EQ(chmod(bin.path().c_str(), 0755), 0);
    std::string copy = bin / "record-daemon";
    ASSERT_TRUE(kit::writeFile(copy, kit::readFile(sim::programPath("record-daemon"))));
    ASSERT_EQ(chown(copy.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(copy.c_str(), 04755), 0);
    auto setuidCopy = [&](std::vector<std::string> args) {
        args.front() = copy;
        return asNobody(args);
    };

    sim::Segment roots;
    std::vector<uint8_t> before = snapshot(roots.block());
    ScratchDir dir;
    fillHostile(roots.block(), dir);
    before = snapshot(roots.block());
    sim::SoundDevice sound;
    sim::DaemonProcess process;
    std::vector<std::string> args = setuidCopy(argumentsFor("record-daemon", sound.daemonFd(), roots.id()));
    ASSERT_TRUE(process.start(args.front(), args, {sound.daemonFd()}, {"ASAN_OPTIONS=detect_leaks=0"}));
    EXPECT_EQ(process.wait(10s), std::optional<int>(1));
    EXPECT_EQ(process.errors(), "Orvex Record daemon (server): Shared memory segment " + std::to_string(roots.id()) +
                                    " belongs to another user; refusing to run privileged\n");
    EXPECT_TRUE(snapshot(roots.block()) == before);

    // nobody's own record: the setuid copy records, and hands the tape to nobody.
    ForeignSegment own(0600);
    ASSERT_NE(own.block(), nullptr);
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    rectest::fillRecord(*own.block(), dir / "take.ul", WrapUlaw, 4 * chunk);
    writeWord(own.block()->ownerUid, nobody);
    writeWord(own.block()->ownerGid, nogroup);
    sim::SoundDevice mic(sim::SoundDevice::Kind::RecordPipe);
    mic.feed(reliab::pattern(8 * chunk, 3));
    sim::DaemonProcess allowed;
    args = setuidCopy(argumentsFor("record-daemon", mic.daemonFd(), own.id()));
    ASSERT_TRUE(allowed.start(args.front(), args, {mic.daemonFd()}, {"ASAN_OPTIONS=detect_leaks=0"}));
    mic.closeDaemonEnd();
    EXPECT_EQ(allowed.wait(10s), std::optional<int>(0)) << allowed.errors();
    EXPECT_EQ(readWord(own.block()->tapeFull), 1u);
    EXPECT_EQ(kit::readFile(dir / "take.ul").size(), 4u * chunk);
}

// Without privilege the kernel's own checks are the guard: a record anyone
// may write is used as before.
TEST_F(Privileged, AnUnprivilegedDaemonUsesAnyRecordItMayAttach)
{
    ForeignSegment shared(0666);
    ASSERT_NE(shared.block(), nullptr);
    ScratchDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    ControlBlock& cb = *shared.block();
    rectest::fillRecord(cb, dir / "take.ul", WrapUlaw, 2 * chunk);
    writeWord(cb.ownerUid, nobody);
    writeWord(cb.ownerGid, nogroup);
    sim::SoundDevice mic(sim::SoundDevice::Kind::RecordPipe);
    mic.feed(reliab::pattern(4 * chunk, 3));
    sim::DaemonProcess process;
    std::vector<std::string> args = asNobody(argumentsFor("record-daemon", mic.daemonFd(), shared.id()));
    ASSERT_TRUE(process.start(args.front(), args, {mic.daemonFd()}));
    mic.closeDaemonEnd();
    EXPECT_EQ(process.wait(10s), std::optional<int>(0)) << process.errors();
    EXPECT_EQ(kit::readFile(dir / "take.ul").size(), 2u * chunk);
}

} // namespace
