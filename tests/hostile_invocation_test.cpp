// The three daemons started with command lines, segments, descriptors and
// wrap modes an application should never hand them.  Each gets its written
// message (or a clear one of its own), ends with the right status, and
// leaves the record alone when it refuses to start.
#include <cstring>
#include <gtest/gtest.h>
#include <sys/shm.h>

#include "line.h"
#include "playback_harness.h"
#include "record_harness.h"
#include "reliability_kit.h"
#include "voicephone_harness.h"

namespace {

using namespace std::chrono_literals;
using kit::ScratchDir;

const std::string voicePhone = "Orvex VoicePhone daemon: ";
const std::string& recordServer = rectest::server;
const std::string& playbackServer = playtest::server;

struct Program {
    const char* name;
    size_t argc;          // including the program name
    std::string usage;    // on standard output
    std::string prefix;   // of the parent's lines
};

const Program programs[] = {
    {"voicephone-daemon", 5, voicePhone + "Can only be invoked by Orvex itself\n\n", voicePhone},
    {"playback-daemon", 4, "Orvex Playback daemon - can only be invoked by Orvex itself\n\n", playbackServer},
    {"record-daemon", 4, "Orvex Record daemon - can only be invoked by Orvex itself\n\n", recordServer},
};

// A segment whose every byte is known, to show that a refused start wrote nothing.
struct MarkedSegment {
    sim::Segment seg;
    std::vector<uint8_t> before;
    explicit MarkedSegment(size_t bytes = controlBlockSize) : seg(bytes)
    {
        auto* p = reinterpret_cast<uint8_t*>(&seg.block());
        for (size_t i = 0; i < bytes; ++i)
            p[i] = static_cast<uint8_t>(0xA5 ^ i);
        before.assign(p, p + bytes);
    }
    bool untouched() const
    {
        auto* p = reinterpret_cast<const uint8_t*>(&const_cast<sim::Segment&>(seg).block());
        return std::memcmp(p, before.data(), before.size()) == 0;
    }
};

// The command line of `program` with these argument texts; descriptors 3
// and 4 are /dev/null, so nothing real is touched should a start go ahead.
std::optional<int> run(sim::DaemonProcess& d, const Program& program, const std::vector<std::string>& args)
{
    std::vector<std::string> argv{sim::programPath(program.name)};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!d.start(argv[0], argv, {}))
        return std::nullopt;
    return d.wait(5s);
}

TEST(HostileInvocation, WrongArgumentCountsPrintOnlyTheUsage)
{
    for (const Program& p : programs) {
        MarkedSegment m;
        std::string id = std::to_string(m.seg.id());
        for (size_t argc = 1; argc <= 7; ++argc) {
            if (argc == p.argc)
                continue;
            SCOPED_TRACE(std::string(p.name) + " with " + std::to_string(argc) + " arguments");
            // Whatever the arguments, the segment id among them is never attached.
            std::vector<std::string> args(argc - 1, id);
            sim::DaemonProcess d;
            EXPECT_EQ(run(d, p, args), std::optional<int>(0));
            EXPECT_EQ(d.output(), p.usage);
            EXPECT_EQ(d.errors(), "");
        }
        EXPECT_TRUE(m.untouched()) << p.name;
    }
}

TEST(HostileInvocation, ChunkSizesOutsideTheRangeAreRefused)
{
    const std::pair<const char*, const char*> sizes[] = {
        {"abc", "0"},         {"0", "0"},
        {"-1", "-1"},         {"65537", "65537"},
        {"", "0"},            {"99999999999999999999", "2147483647"},
        {"-99999999999999999999", "-2147483648"},
    };
    for (const Program& p : programs) {
        MarkedSegment m;
        for (const auto& [text, value] : sizes) {
            SCOPED_TRACE(std::string(p.name) + " chunk size '" + text + "'");
            std::vector<std::string> args(p.argc - 1, "3");
            args[p.argc - 3] = text;
            args[p.argc - 2] = std::to_string(m.seg.id());
            sim::DaemonProcess d;
            EXPECT_EQ(run(d, p, args), std::optional<int>(1));
            EXPECT_EQ(d.errors(), p.prefix + "Chunk size " + value + " is outside 1...65536\n");
        }
        EXPECT_TRUE(m.untouched()) << p.name;
    }
}

TEST(HostileInvocation, SegmentsThatDoNotExistOrAreTooSmall)
{
    int gone;
    {
        sim::Segment removed;
        gone = removed.id();
    }
    MarkedSegment small(100);
    for (const Program& p : programs) {
        for (const std::string& id : {std::string("-1"), std::string("2147483647"), std::to_string(gone)}) {
            SCOPED_TRACE(std::string(p.name) + " segment " + id);
            std::vector<std::string> args(p.argc - 1, "160");
            args[0] = "3";
            args.back() = id;
            sim::DaemonProcess d;
            EXPECT_EQ(run(d, p, args), std::optional<int>(1));
            EXPECT_EQ(d.errors().rfind(p.prefix + "Can't find shared memory segment " + id + ": ", 0), 0u)
                << d.errors();
        }
        SCOPED_TRACE(std::string(p.name) + " segment of 100 bytes");
        std::vector<std::string> args(p.argc - 1, "160");
        args[0] = "3";
        args.back() = std::to_string(small.seg.id());
        sim::DaemonProcess d;
        EXPECT_EQ(run(d, p, args), std::optional<int>(1));
        EXPECT_NE(d.errors().find(p.prefix + "Shared memory segment " + args.back() + " holds 100 bytes"),
                  std::string::npos)
            << d.errors();
    }
    EXPECT_TRUE(small.untouched());
}

// Descriptors that are not open (negative, huge, or simply closed) are
// failed reads and writes, not crashes: each daemon ends as its failure
// handling says.
TEST(HostileInvocation, DescriptorsThatAreNotOpen)
{
    ScratchDir dir;
    for (const char* fd : {"-5", "99999999999", "1000"}) {
        SCOPED_TRACE(std::string("descriptor ") + fd);
        {
            sim::Segment seg;
            rectest::fillRecord(seg, dir / "rec.tape");
            sim::DaemonProcess d;
            EXPECT_EQ(run(d, programs[2], {fd, "160", std::to_string(seg.id())}), std::optional<int>(0));
            EXPECT_NE(d.errors().find("record: Bad file descriptor\n"), std::string::npos) << d.errors();
            EXPECT_EQ(readWord(seg->recordRunning), 0u);
        }
        {
            playtest::Play p(reliab::pattern(1600), reliab::pattern(1600, 2));
            sim::DaemonProcess d;
            EXPECT_EQ(run(d, programs[1], {fd, "160", std::to_string(p.seg.id())}), std::optional<int>(0));
            EXPECT_EQ(readWord(p.seg->tapePosition), 0u) << "played through without sound, then rewound";
            EXPECT_NE(d.output().find("Orvex Playback daemon (slave): Dying\n"), std::string::npos);
        }
        {
            // The ttyI and the sound device both unusable: the ttyI-to-audio
            // pump ends on its failed select; the call still ends on stopRequest.
            // A closed descriptor within the process's table is not a failure
            // to select (the kernel only looks at the descriptors it holds):
            // the pump then waits as on a silent line.
            bool selectFails = std::string(fd) != "1000";
            sim::Segment seg;
            writeWord(seg->wrapMode, 1);
            writeWord(seg->answerMode, 1);
            sim::DaemonProcess d;
            std::vector<std::string> argv{sim::programPath("voicephone-daemon"), fd, fd, "160",
                                          std::to_string(seg.id())};
            ASSERT_TRUE(d.start(argv[0], argv, {}));
            ASSERT_TRUE(seg.waitFor(seg->phoneUp, 1)); // a request before this is lost
            if (selectFails)
                EXPECT_TRUE(seg.waitFor(seg->t2aRunning, 0, 10s)) << "the ttyI-to-audio pump ending on its select";
            else
                EXPECT_FALSE(seg.waitFor(seg->t2aRunning, 0, 300ms)) << "the pump waits as on a silent line";
            writeWord(seg->stopRequest, 1);
            EXPECT_EQ(d.wait(5s), std::optional<int>(0));
            EXPECT_EQ(d.errors(), selectFails ? "(ttyI->audio) select: Bad file descriptor\n" : "");
            EXPECT_TRUE(reliab::groupMembers(d.pid()).empty());
        }
    }
}

// Answer mode closes the application's own sound descriptor: a number that
// is not open is a failed close, reported, and the call goes on.
TEST(HostileInvocation, AudioDescriptorThatIsNotOpen)
{
    for (uint32_t audioFd : {0xFFFFFFFFu, 999u}) {
        SCOPED_TRACE(audioFd);
        sim::Segment seg;
        writeWord(seg->wrapMode, 1);
        writeWord(seg->answerMode, 1);
        writeWord(seg->audioFd, audioFd);
        voicetest::Phone phone;
        ASSERT_TRUE(phone.start(seg, 160));
        writeWord(seg->stopRequest, 1);
        EXPECT_EQ(phone.daemon.wait(5s), std::optional<int>(0));
        EXPECT_NE(phone.daemon.output().find(voicePhone + "Running in answer mode\n" + voicePhone +
                                  "Closing the audio device in this process...failure\n"),
                  std::string::npos)
            << phone.daemon.output();
        EXPECT_EQ(phone.daemon.errors(), "");
    }
}

// The daemon's own standard output and error are never "the audio device":
// closed, their numbers would go to the response file, and the daemon's
// lines with them.
TEST(HostileInvocation, AnswerModeNeverClosesTheStandardDescriptors)
{
    for (uint32_t audioFd : {1u, 2u}) {
        SCOPED_TRACE(audioFd);
        ScratchDir dir;
        sim::Segment seg;
        writeWord(seg->wrapMode, 1);
        writeWord(seg->answerMode, 1);
        writeWord(seg->audioFd, audioFd);
        writeWord(seg->responseLimit, 100000);
        writeWord(seg->ownerUid, getuid());
        writeWord(seg->ownerGid, getgid());
        sim::Segment::setPath(seg->responsePath, dir / "response.ul");
        sim::Segment::setPath(seg->messagePath, dir / "missing.ul");
        voicetest::Phone phone;
        ASSERT_TRUE(phone.start(seg, 160));
        writeWord(seg->messageStart, 1); // fails: a line on standard error
        ASSERT_TRUE(seg.waitFor(seg->errorFlag, 1));
        writeWord(seg->responseStart, 1);
        std::vector<uint8_t> caller = reliab::pattern(400, 3);
        ASSERT_TRUE(phone.line.sendAudio(caller));
        ASSERT_TRUE(seg.waitFor(seg->responseStart, 0));
        ASSERT_TRUE(phone.line.waitTaken());
        writeWord(seg->stopRequest, 1);
        EXPECT_EQ(phone.daemon.wait(5s), std::optional<int>(0));
        EXPECT_NE(phone.daemon.output().find(voicePhone + "Closing the audio device in this process...failure\n"),
                  std::string::npos)
            << phone.daemon.output();
        EXPECT_NE(phone.daemon.output().find(voicePhone + "Dying\n"), std::string::npos) << phone.daemon.output();
        EXPECT_NE(phone.daemon.errors().find("Can't open message file"), std::string::npos) << phone.daemon.errors();
        std::vector<uint8_t> response = kit::readFile(dir / "response.ul");
        EXPECT_TRUE(reliab::startsWith(caller, response, response.size()))
            << "the response file holds something the caller did not say";
    }
}

// Wrap modes the sound routines do not know: the line on every call, and
// each daemon's own way on: record-daemon gives up at its first read,
// playback-daemon runs the tape through playing nothing, and the call keeps
// taping the remote party while its local side ends.
TEST(HostileInvocation, UnknownWrapModes)
{
    constexpr int chunk = 160;
    for (uint32_t mode : {0u, 8u, 17u}) {
        std::string wrapLine = "Wrap mode " + std::to_string(mode) + " not implemented\n";
        SCOPED_TRACE(wrapLine);
        ScratchDir dir;
        {
            rectest::Recording r(mode);
            r.sound.feed(reliab::pattern(chunk));
            ASSERT_TRUE(r.start(chunk));
            EXPECT_EQ(r.wait(), std::optional<int>(0));
            EXPECT_EQ(r.daemon.errors(), wrapLine + "record: Invalid argument\n");
            EXPECT_EQ(readWord(r.seg->recordRunning), 0u);
            EXPECT_EQ(readWord(r.seg->recordFlags), FlagStarted | FlagActive);
            EXPECT_EQ(kit::readFile(r.tape).size(), 0u);
        }
        {
            playtest::Play p(reliab::pattern(5 * chunk), reliab::pattern(5 * chunk, 2), mode);
            ASSERT_TRUE(p.start(chunk));
            EXPECT_EQ(p.wait(), std::optional<int>(0));
            std::string five;
            for (int i = 0; i < 5; ++i)
                five += wrapLine;
            EXPECT_EQ(p.daemon.errors(), five) << "one line per chunk, the tape runs through";
            EXPECT_EQ(p.sound.playedCount(), 0u);
            EXPECT_EQ(readWord(p.seg->tapePosition), 0u);
        }
        {
            sim::Segment seg;
            kit::writeFile(dir / "in.tape", {});
            kit::writeFile(dir / "out.tape", {});
            sim::Segment::setPath(seg->ingoingPath, dir / "in.tape");
            sim::Segment::setPath(seg->outgoingPath, dir / "out.tape");
            writeWord(seg->wrapMode, mode);
            writeWord(seg->tapeLimit, 0xFFFFFFFF);
            writeWord(seg->ownerUid, getuid());
            writeWord(seg->ownerGid, getgid());
            voicetest::Phone phone;
            ASSERT_TRUE(phone.start(seg, chunk));
            seg->recordFlags.fetch_or(FlagStartRequest);
            ASSERT_TRUE(seg.waitUntil([&] { return flagSet(seg->recordFlags, FlagActive); }));
            // The remote party is not heard but still taped; the local side
            // ends its pump at the first read.
            std::vector<uint8_t> said = reliab::pattern(3 * chunk, 3);
            ASSERT_TRUE(phone.line.sendAudio(said));
            ASSERT_TRUE(seg.waitFor(seg->ingoingPosition, 3 * chunk));
            phone.sound.feed(reliab::pattern(chunk, 4));
            ASSERT_TRUE(seg.waitFor(seg->a2tRunning, 0));
            writeWord(seg->stopRequest, 1);
            EXPECT_EQ(phone.daemon.wait(5s), std::optional<int>(0));
            EXPECT_EQ(phone.sound.playedCount(), 0u);
            EXPECT_EQ(kit::readFile(dir / "in.tape"), said);
            std::string errors = phone.daemon.errors();
            EXPECT_NE(errors.find(wrapLine + "(audio->ttyI) read: Invalid argument\n"), std::string::npos) << errors;
        }
    }
}

} // namespace
