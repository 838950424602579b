// File names and tape words an application should never hand the daemons:
// path fields without a NUL, a symbolic link to a root-owned file, a
// directory, a FIFO, a device; limits of 0 and 2^32 − 1, positions near
// 2^32, skips whose product does not fit in 32 bits.  The named files get
// the written messages, and nothing outside them changes.
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "line.h"
#include "playback_harness.h"
#include "record_harness.h"
#include "reliability_kit.h"
#include "voicephone_harness.h"

namespace {

using namespace std::chrono_literals;
using kit::ScratchDir;

constexpr int chunk = 160;
constexpr uint32_t stranger = 4242; // owner ids a daemon would hand a file to
const std::string voicePhone = "Orvex VoicePhone daemon: ";
const std::string& recordServer = rectest::server;
const std::string& playbackServer = playtest::server;
const std::string& playbackSlave = playtest::slave;

// Everything about a file a daemon could change.
struct FileState {
    bool exists = false;
    struct stat st {};
    std::vector<uint8_t> bytes;

    static FileState of(const std::string& path)
    {
        FileState s;
        s.exists = lstat(path.c_str(), &s.st) == 0;
        if (s.exists && S_ISREG(s.st.st_mode))
            s.bytes = kit::readFile(path);
        return s;
    }
    bool operator==(const FileState& o) const
    {
        return exists == o.exists && st.st_mode == o.st.st_mode && st.st_uid == o.st.st_uid &&
               st.st_gid == o.st.st_gid && st.st_size == o.st.st_size && st.st_ino == o.st.st_ino &&
               bytes == o.bytes;
    }
};

std::vector<std::string> namesIn(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
                names.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The hostile kinds of file a path may name.
enum class Kind { Symlink, Directory, Fifo, Device };
const char* kindName(Kind k)
{
    switch (k) {
    case Kind::Symlink:
        return "symbolic link to a root-owned file";
    case Kind::Directory:
        return "directory";
    case Kind::Fifo:
        return "FIFO";
    case Kind::Device:
        return "device";
    }
    return "";
}

// A hostile file at `path`; a symbolic link points at `victim`, which holds
// something precious.  Returns false when the kind cannot be made here.
bool makeHostile(Kind kind, const std::string& path, const std::string& victim)
{
    switch (kind) {
    case Kind::Symlink:
        return kit::writeFile(victim, {'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}) && chmod(victim.c_str(), 0644) == 0 &&
               symlink(victim.c_str(), path.c_str()) == 0;
    case Kind::Directory:
        return mkdir(path.c_str(), 0755) == 0;
    case Kind::Fifo:
        return mkfifo(path.c_str(), 0644) == 0;
    case Kind::Device:
        return mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0; // a null device of our own
    }
    return false;
}

struct Hostile {
    ScratchDir dir;
    ScratchDir elsewhere; // where the link points: outside the folder the daemon is given
    std::string path = dir / "hostile";
    std::string victim = elsewhere / "victim";
    Kind kind;
    FileState pathBefore, victimBefore;
    bool made;

    explicit Hostile(Kind k) : kind(k)
    {
        made = makeHostile(k, path, victim);
        pathBefore = FileState::of(path);
        victimBefore = FileState::of(victim);
    }
    void expectUntouched() const
    {
        EXPECT_TRUE(FileState::of(path) == pathBefore) << kindName(kind) << " changed";
        EXPECT_TRUE(FileState::of(victim) == victimBefore) << "the file behind the link changed";
    }
};

void ownBy(sim::Segment& seg, uint32_t uid)
{
    writeWord(seg->ownerUid, uid);
    writeWord(seg->ownerGid, uid);
}

TEST(HostileFiles, RecordTapeThatIsNotARegularFile)
{
    for (Kind kind : {Kind::Symlink, Kind::Directory, Kind::Fifo, Kind::Device}) {
        SCOPED_TRACE(kindName(kind));
        Hostile h(kind);
        if (!h.made)
            GTEST_SKIP() << "cannot make a " << kindName(kind) << " here";
        sim::Segment seg;
        rectest::fillRecord(seg, h.path);
        ownBy(seg, stranger);
        rectest::Recorder r;
        std::vector<uint8_t> fed = reliab::pattern(10 * chunk);
        r.sound.feed(fed);
        ASSERT_TRUE(r.start(seg, chunk));
        if (kind == Kind::Device) {
            // A device is written like a file, but never handed to the user.
            ASSERT_TRUE(seg.waitFor(seg->outgoingPosition, fed.size()));
            writeWord(seg->recordFlags, readWord(seg->recordFlags) | FlagStopRequest);
            r.sound.endSource();
            EXPECT_EQ(r.wait(), std::optional<int>(0));
            EXPECT_EQ(r.daemon.errors(), recordServer + "Could NOT set owner of " + h.path + " to 4242.4242\n");
        } else {
            EXPECT_EQ(r.wait(), std::optional<int>(1));
            EXPECT_EQ(r.daemon.errors(), recordServer + "Can't open tape file " + h.path + " (outgoing)\n");
            EXPECT_EQ(readWord(seg->errorFlag), 1u);
        }
        h.expectUntouched();
        EXPECT_EQ(namesIn(h.dir.path()), std::vector<std::string>{"hostile"});
    }
}

TEST(HostileFiles, PlaybackTapeThatIsNotARegularFile)
{
    for (Kind kind : {Kind::Symlink, Kind::Directory, Kind::Fifo, Kind::Device}) {
        SCOPED_TRACE(kindName(kind));
        Hostile h(kind);
        if (!h.made)
            GTEST_SKIP() << "cannot make a " << kindName(kind) << " here";
        std::string other = h.dir / "out.tape";
        kit::writeFile(other, reliab::pattern(10 * chunk));
        sim::Segment seg;
        playtest::fillRecord(seg, h.path, other);
        ownBy(seg, getuid());
        writeWord(seg->tapePosition, 320);
        playtest::Player p;
        ASSERT_TRUE(p.start(seg, chunk));
        std::optional<int> status = p.wait();
        std::string errors = p.daemon.errors();
        switch (kind) {
        case Kind::Symlink:
            EXPECT_EQ(status, std::optional<int>(1));
            EXPECT_EQ(errors, playbackServer + "Can't open tape file " + h.path + " (ingoing)\n");
            break;
        case Kind::Directory:
            // Opened for reading, refused as a file to own, and a read error at the first read.
            EXPECT_EQ(status, std::optional<int>(0));
            EXPECT_NE(errors.find(playbackServer + "Could NOT set owner of " + h.path), std::string::npos) << errors;
            EXPECT_NE(errors.find(playbackSlave + "Error reading tape file " + h.path + "\n"), std::string::npos)
                << errors;
            EXPECT_EQ(readWord(seg->errorFlag), 1u);
            break;
        case Kind::Fifo:
        case Kind::Device:
            // Nobody writes the FIFO and the null device is empty: the tape
            // ends at once and is rewound.
            EXPECT_EQ(status, std::optional<int>(0));
            EXPECT_NE(errors.find(playbackServer + "Could NOT set owner of " + h.path), std::string::npos) << errors;
            EXPECT_EQ(readWord(seg->tapePosition), 0u);
            EXPECT_EQ(p.sound.playedCount(), 0u);
            break;
        }
        h.expectUntouched();
    }
}

// The tape opened for update, and the answering machine's files: a link is
// never followed, a directory never opened for writing, nothing changes
// owner or mode but regular files.
TEST(HostileFiles, VoicePhoneFilesThatAreNotRegular)
{
    for (Kind kind : {Kind::Symlink, Kind::Directory, Kind::Device}) {
        for (bool outgoingSide : {false, true}) {
            SCOPED_TRACE(std::string(kindName(kind)) + (outgoingSide ? " as outgoing tape" : " as ingoing tape"));
            Hostile h(kind);
            if (!h.made)
                GTEST_SKIP() << "cannot make a " << kindName(kind) << " here";
            std::string regular = h.dir / "regular.tape";
            kit::writeFile(regular, reliab::pattern(1600));
            sim::Segment seg;
            sim::Segment::setPath(seg->ingoingPath, outgoingSide ? regular : h.path);
            sim::Segment::setPath(seg->outgoingPath, outgoingSide ? h.path : regular);
            ownBy(seg, getuid());
            writeWord(seg->wrapMode, 1);
            voicetest::Phone phone;
            ASSERT_TRUE(phone.start(seg, chunk));
            writeWord(seg->stopRequest, 1);
            ASSERT_EQ(phone.daemon.wait(5s), std::optional<int>(0));
            std::string errors = phone.daemon.errors();
            std::string side = outgoingSide ? " (outgoing)\n" : " (ingoing)\n";
            if (kind == Kind::Device) {
                EXPECT_EQ(errors, voicePhone + "Could NOT set owner of " + h.path + " to " + std::to_string(getuid()) +
                                      "." + std::to_string(getuid()) + "\n");
                EXPECT_EQ(readWord(seg->errorFlag), 0u);
            } else {
                EXPECT_EQ(errors, voicePhone + "Can't open tape file " + h.path + side);
                EXPECT_EQ(readWord(seg->errorFlag), 1u);
            }
            h.expectUntouched();
        }
    }
    for (Kind kind : {Kind::Symlink, Kind::Directory, Kind::Fifo}) {
        SCOPED_TRACE(std::string(kindName(kind)) + " as response file");
        Hostile h(kind);
        if (!h.made)
            GTEST_SKIP();
        sim::Segment seg;
        sim::Segment::setPath(seg->responsePath, h.path);
        sim::Segment::setPath(seg->messagePath, h.path);
        ownBy(seg, stranger);
        writeWord(seg->wrapMode, 1);
        writeWord(seg->answerMode, 1);
        writeWord(seg->responseLimit, 100000);
        voicetest::Phone phone;
        ASSERT_TRUE(phone.start(seg, chunk));
        writeWord(seg->responseStart, 1);
        ASSERT_TRUE(phone.line.sendAudio(reliab::pattern(50)));
        // errorFlag is the last word a failed open stores.
        ASSERT_TRUE(seg.waitFor(seg->errorFlag, 1));
        EXPECT_EQ(readWord(seg->responseStart), 0u);
        EXPECT_EQ(readWord(seg->responseRecording), 0u);
        if (kind != Kind::Fifo) {
            writeWord(seg->messageStart, 1);
            ASSERT_TRUE(seg.waitFor(seg->messageStart, 0));
        }
        writeWord(seg->stopRequest, 1);
        ASSERT_EQ(phone.daemon.wait(5s), std::optional<int>(0));
        std::string errors = phone.daemon.errors();
        if (kind == Kind::Fifo) {
            // Nobody reads the FIFO, so it cannot be opened for writing.
            EXPECT_EQ(errors, "Orvex ttyI2Audio daemon: Can't open response file " + h.path + " for writing\n");
        } else {
            EXPECT_NE(errors.find("Orvex ttyI2Audio daemon: Can't open response file " + h.path + " for writing\n"),
                      std::string::npos)
                << errors;
            if (kind == Kind::Symlink) {
                EXPECT_NE(errors.find("Orvex Audio2ttyI daemon: Can't open message file " + h.path + " for reading\n"),
                          std::string::npos)
                    << errors;
            }
        }
        h.expectUntouched();
    }
}

// A path field of 128 bytes with no NUL is not a path: the message shows its
// 128 bytes, and nothing is created under a name run on into the next field.
TEST(HostileFiles, PathFieldsWithoutANul)
{
    ScratchDir dir;
    std::string full = dir.path() + "/";
    full.append(pathFieldSize - full.size(), 'A');
    ASSERT_EQ(full.size(), pathFieldSize);
    auto fill = [&](char (&field)[pathFieldSize], char (&next)[pathFieldSize]) {
        std::memcpy(field, full.data(), pathFieldSize);
        sim::Segment::setPath(next, "B");
    };
    {
        sim::Segment seg;
        rectest::fillRecord(seg, "", WrapUlaw, 0);
        fill(seg->outgoingPath, seg->messagePath);
        rectest::Recorder r;
        ASSERT_TRUE(r.start(seg, chunk));
        EXPECT_EQ(r.wait(), std::optional<int>(1));
        EXPECT_EQ(r.daemon.errors(), recordServer + "Can't open tape file " + full + " (outgoing)\n");
    }
    {
        sim::Segment seg;
        playtest::fillRecord(seg, "", "");
        fill(seg->ingoingPath, seg->outgoingPath);
        playtest::Player p;
        ASSERT_TRUE(p.start(seg, chunk));
        EXPECT_EQ(p.wait(), std::optional<int>(1));
        EXPECT_EQ(p.daemon.errors(), playbackServer + "Can't open tape file " + full + " (ingoing)\n");
    }
    {
        sim::Segment seg;
        fill(seg->ingoingPath, seg->outgoingPath);
        writeWord(seg->wrapMode, 1);
        voicetest::Phone phone;
        ASSERT_TRUE(phone.start(seg, chunk));
        writeWord(seg->stopRequest, 1);
        EXPECT_EQ(phone.daemon.wait(5s), std::optional<int>(0));
        EXPECT_EQ(phone.daemon.errors(), voicePhone + "Can't determine length of tape\n" + voicePhone +
                                             "Can't open tape file " + full + " (ingoing)\n");
    }
    {
        // The response file of the answering machine.
        sim::Segment seg;
        std::memcpy(seg->responsePath, full.data(), pathFieldSize);
        seg->ownerUid.store(0); // the field after responsePath: no NUL there either
        writeWord(seg->wrapMode, 1);
        writeWord(seg->answerMode, 1);
        writeWord(seg->responseLimit, 1000);
        voicetest::Phone phone;
        ASSERT_TRUE(phone.start(seg, chunk));
        writeWord(seg->responseStart, 1);
        ASSERT_TRUE(phone.line.sendAudio(reliab::pattern(10)));
        ASSERT_TRUE(seg.waitFor(seg->errorFlag, 1));
        writeWord(seg->stopRequest, 1);
        EXPECT_EQ(phone.daemon.wait(5s), std::optional<int>(0));
        EXPECT_EQ(phone.daemon.errors(),
                  "Orvex ttyI2Audio daemon: Can't open response file " + full + " for writing\n");
    }
    EXPECT_TRUE(namesIn(dir.path()).empty()) << "a file was created under a run-on name";
}

// The record daemon's limit in 32-bit words: 0 takes nothing, a position just
// under 2^32 − 1 fills up to it without wrapping, a position beyond the
// limit records on without limit, as its contract keeps it.
TEST(HostileFiles, RecordLimitsAtTheEdgesOfAWord)
{
    struct Case {
        uint32_t limit, position;
        bool full;
    } cases[] = {
        {0, 0, true},
        {0xFFFFFFFF, 0xFFFFFFFF - 5 * chunk - 37, true},
        {1000, 5000, false},
        // Beyond the limit there is none, but the word itself ends: the chunk
        // that would wrap the position to the start fills the tape instead.
        {1000, 0xFFFFFFFF - 5 * chunk - 37, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("limit " + std::to_string(c.limit) + " position " + std::to_string(c.position));
        rectest::Recording r(WrapUlaw, c.limit);
        sim::Segment& seg = r.seg;
        writeWord(seg->outgoingPosition, c.position);
        std::vector<uint8_t> fed = reliab::pattern(20 * chunk, 5);
        r.sound.feed(fed);
        ASSERT_TRUE(r.start(chunk));
        if (!c.full) {
            ASSERT_TRUE(seg.waitFor(seg->outgoingPosition, c.position + fed.size()));
            writeWord(seg->recordFlags, readWord(seg->recordFlags) | FlagStopRequest);
        }
        r.sound.endSource();
        ASSERT_EQ(r.wait(), std::optional<int>(0));
        uint32_t position = readWord(seg->outgoingPosition);
        std::vector<uint8_t> tape = kit::readFile(r.tape);
        EXPECT_EQ(readWord(seg->tapeFull), c.full ? 1u : 0u);
        EXPECT_GE(position, c.position) << "the position wrapped";
        if (c.position <= c.limit) {
            EXPECT_LE(position, c.limit);
        }
        ASSERT_EQ(tape.size(), position - c.position);
        EXPECT_TRUE(reliab::startsWith(fed, tape, tape.size()));
        EXPECT_EQ(readWord(seg->tapeLength), position);
    }
}

// Playback started at positions at the end of a word: nothing beyond the
// files is played, and the tape is rewound.
TEST(HostileFiles, PlaybackStartingNearTheEndOfAWord)
{
    for (uint32_t position : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFF60u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(position);
        playtest::Play p(reliab::pattern(10 * chunk, 1), reliab::pattern(10 * chunk, 2));
        writeWord(p.seg->tapePosition, position);
        ASSERT_TRUE(p.start(chunk));
        ASSERT_EQ(p.wait(), std::optional<int>(0));
        EXPECT_EQ(p.sound.playedCount(), 0u);
        EXPECT_EQ(readWord(p.seg->tapePosition), 0u);
        EXPECT_EQ(p.daemon.errors(), "");
    }
}

// The voicephone tape at the edges: a limit of 0 tapes nothing; a start
// position near 2^32 is the end of the tape; skips form their byte counts modulo
// 2^32, like every position word the application computes.
TEST(HostileFiles, VoicePhoneTapeWordsAtTheEdges)
{
    constexpr uint32_t length = 16000;
    auto call = [&](uint32_t limit, uint32_t position, auto&& during) {
        ScratchDir dir;
        std::vector<uint8_t> in = reliab::pattern(length, 1), out = reliab::pattern(length, 2);
        kit::writeFile(dir / "in.tape", in);
        kit::writeFile(dir / "out.tape", out);
        sim::Segment seg;
        sim::Segment::setPath(seg->ingoingPath, dir / "in.tape");
        sim::Segment::setPath(seg->outgoingPath, dir / "out.tape");
        ownBy(seg, getuid());
        writeWord(seg->wrapMode, 1);
        writeWord(seg->tapeLimit, limit);
        writeWord(seg->tapePosition, position);
        writeWord(seg->ingoingPosition, position);
        writeWord(seg->outgoingPosition, position);
        voicetest::Phone phone;
        ASSERT_TRUE(phone.start(seg, chunk));
        during(seg, phone.line);
        writeWord(seg->stopRequest, 1);
        ASSERT_EQ(phone.daemon.wait(5s), std::optional<int>(0));
        EXPECT_EQ(phone.daemon.errors(), "");
        EXPECT_EQ(kit::readFile(dir / "out.tape"), out) << "nothing came from the sound device";
        if (limit == 0) {
            EXPECT_EQ(kit::readFile(dir / "in.tape"), in);
        }
    };
    auto tapeSome = [](sim::Segment& seg, sim::Line& line) {
        seg->recordFlags.fetch_or(FlagStartRequest);
        ASSERT_TRUE(seg.waitUntil([&] { return flagSet(seg->recordFlags, FlagStarted); }));
        ASSERT_TRUE(line.sendAudio(reliab::pattern(10 * chunk, 3)));
        ASSERT_TRUE(seg.waitFor(seg->tapeFull, 1));
        EXPECT_FALSE(flagSet(seg->recordFlags, FlagActive));
    };
    {
        SCOPED_TRACE("limit 0");
        call(0, 0, [&](sim::Segment& seg, sim::Line& line) {
            tapeSome(seg, line);
            EXPECT_EQ(readWord(seg->ingoingPosition), 0u);
        });
    }
    {
        SCOPED_TRACE("a start position just under 2^32, far beyond the tape");
        uint32_t start = 0xFFFFFFFF - 2 * chunk - 1;
        call(length + 2 * chunk + 1, start, [&](sim::Segment& seg, sim::Line& line) {
            // The words say where the files are: at the end of the tape.
            EXPECT_EQ(readWord(seg->tapePosition), length);
            EXPECT_EQ(readWord(seg->ingoingPosition), length);
            EXPECT_EQ(readWord(seg->outgoingPosition), length);
            tapeSome(seg, line);
            uint32_t position = readWord(seg->ingoingPosition);
            EXPECT_EQ(position, length + 2 * chunk) << "two chunks fit, the third does not";
            EXPECT_EQ(readWord(seg->tapePosition), length) << "the outgoing side did not move";
        });
    }
    {
        SCOPED_TRACE("skips whose byte count wraps modulo 2^32, as the position words do");
        call(0xFFFFFFFF, 8000, [&](sim::Segment& seg, sim::Line&) {
            struct Skip {
                uint32_t seconds;
                uint32_t afterForward;
                uint32_t afterBack;
            };
            const Skip skips[] = {
                {536871u, 8704, 8000},   // 536871 s = 4294968000 bytes = 704 modulo 2^32
                {0xFFFFFFFFu, 0, 0},     // -8000 modulo 2^32: 8000 forward lands on 0; back from 0 stays
                {1073742u, 1408, 0},     // 1408 modulo 2^32
            };
            for (const Skip& skip : skips) {
                writeWord(seg->skipForward, skip.seconds);
                ASSERT_TRUE(seg.waitFor(seg->skipForward, 0));
                ASSERT_TRUE(seg.waitFor(seg->ingoingPosition, skip.afterForward));
                EXPECT_EQ(readWord(seg->tapePosition), skip.afterForward);
                writeWord(seg->skipBack, skip.seconds);
                ASSERT_TRUE(seg.waitFor(seg->skipBack, 0));
                ASSERT_TRUE(seg.waitFor(seg->ingoingPosition, skip.afterBack));
                EXPECT_EQ(readWord(seg->tapePosition), skip.afterBack);
                EXPECT_EQ(readWord(seg->outgoingPosition), skip.afterBack);
            }
        });
    }
}

} // namespace
