// callctl tells the truth about what happened and keeps the user's files:
// daemon failures, failing sound commands and half-dead calls end with
// status 1 and the cause; outputs are complete, and nothing the user did
// not name as output is replaced.
#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <csignal>
#include <sndfile.h>
#include <sstream>
#include <sys/shm.h>
#include <sys/wait.h>
#include <thread>

#include "audio_io.h"
#include "callctl_kit.h"
#include "segment.h"
#include "sound_device.h"

namespace {

using namespace callctl_kit;
using CallctlTruth = ScratchTest;

std::vector<uint8_t> pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 37 + seed);
    return v;
}

// The data bytes of a mu-law WAV as stored.
std::vector<uint8_t> wavBytes(const std::string& path)
{
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f)
        return {};
    std::vector<uint8_t> raw(static_cast<size_t>(info.frames * info.channels));
    raw.resize(static_cast<size_t>(sf_read_raw(f, raw.data(), static_cast<sf_count_t>(raw.size()))));
    sf_close(f);
    return raw;
}

bool contains(const std::string& text, const std::string& what)
{
    return text.find(what) != std::string::npos;
}

TEST_F(CallctlTruth, DaemonFailuresAreFailuresWithTheDaemonsWords)
{
    // A full disk under record: the daemon's line, exit 1, no "recorded".
    Outcome r = callctl({"record", "--take", "/dev/full", "--seconds", "1"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "\"Orvex Record daemon (slave): Error writing to file /dev/full\"")) << r.err;
    EXPECT_FALSE(contains(r.out, "recorded")) << r.out;

    // What can be checked before a daemon starts is checked first.
    r = callctl({"record", "--take", path("no/such/folder/t.ul"), "--seconds", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "can't write the take " + path("no/such/folder/t.ul"))) << r.err;
    kit::writeFile(path("greeting.ul"), pattern(16000, 1));
    r = callctl({"answer", "--greeting", path("greeting.ul"), "--response", path("no/such/r.ul"), "--verbose"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "can't write the response file " + path("no/such/r.ul"))) << r.err;
    EXPECT_FALSE(contains(r.err, "play the greeting")) << "the greeting was played first:\n" << r.err;

    // A full disk under answer: no "cut off by the end of the call", exit 1.
    // The size limit stands in for the disk; its signal is ignored, so the
    // write fails as it does on a full disk.
    std::string program = sim::programPath("callctl");
    r = shell("cd '" + dir_ + "' && trap '' XFSZ && ulimit -f 4 && '" + program +
              "' answer --greeting none --response-limit 3 --response full.ul");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "Error writing to response file full.ul")) << r.err;
    EXPECT_FALSE(contains(r.out, "cut off")) << r.out;

    // A full disk under a taped call with a WAV speaker: the tape's failure
    // and the WAV's are both told.
    r = shell("cd '" + dir_ + "' && trap '' XFSZ && ulimit -f 6 && printf 't.........' | '" + program +
              "' call --tape tp --sound call.wav");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "Error writing to file tp-")) << r.err; // whichever side fills it first
    EXPECT_TRUE(contains(r.err, "can't write call.wav")) << r.err;
}

TEST_F(CallctlTruth, ASoundCommandThatFailsIsAnErrorWithWhatItSaid)
{
    kit::writeFile(path("t-in.ul"), pattern(4000, 3));
    kit::writeFile(path("t-out.ul"), pattern(4000, 5));
    Outcome r = callctl({"play", "--tape", path("t"), "--sound-cmd", "false"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(contains(r.err, "the sound command 'false' ended")) << r.err;
    EXPECT_FALSE(contains(r.out, "played")) << r.out;
    r = callctl({"record", "--take", path("take.ul"), "--seconds", "2", "--sound-cmd", "no-such-player-here"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(contains(r.err, "with status 127: ")) << r.err;
    EXPECT_TRUE(contains(r.err, "no-such-player-here: not found")) << r.err;
    // Ending well without taking what was played is not playing it.
    r = callctl({"play", "--tape", path("t"), "--sound-cmd", "true"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(contains(r.err, "the sound command 'true' ended before the sound did, with status 0")) << r.err;
    // A player that takes it all and ends well is a success.
    r = callctl({"play", "--tape", path("t"), "--sound-cmd", "cat > /dev/null"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "played 00:00.5, from 00:00.0 to 00:00.5 of 00:00.5, to the end\n");
}

TEST_F(CallctlTruth, ACallThatLosesADirectionHangsUpAndFails)
{
    // The sound command takes one byte of the speaker's audio, lets go of
    // its socket with the rest unread, and runs on: the daemon's microphone
    // direction reads a reset, the other direction goes on.
    std::string program = sim::programPath("callctl");
    std::string keys(60, '.'); // 12 s of call, unless callctl ends it
    Outcome r = shell("cd '" + dir_ + "' && printf '" + keys + "' | '" + program +
                          "' call --sound-cmd 'dd bs=1 count=1 of=/dev/null 2>/dev/null; exec 0<&- 1>&-; sleep 20'",
                      60000ms);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "the microphone-to-line direction (Audio2ttyI) stopped; hanging up")) << r.err;
    EXPECT_TRUE(contains(r.err, "\"(audio->ttyI) read: Connection reset by peer\"")) << r.err;
}

// The speaker of a call plays at a speaker's pace, so the daemon's last
// audio waits in the socket when the call ends; the WAV is written only
// once the speaker has taken it all.
TEST_F(CallctlTruth, CallWavIsCompleteEveryTimeOnABusyMachine)
{
    std::string program = sim::programPath("callctl");
    // Two busy loops for as long as the test runs, however it ends.
    struct Load {
        std::atomic<bool> busy{true};
        std::vector<std::thread> threads;
        Load()
        {
            for (int i = 0; i < 2; ++i)
                threads.emplace_back([this] {
                    volatile unsigned long spin = 0;
                    while (busy)
                        spin = spin + 1;
                });
        }
        ~Load()
        {
            busy = false;
            for (auto& t : threads)
                t.join();
        }
    } load;
    for (int run = 0; run < 6; ++run) {
        // Taping on at once, a second of keys, then their end hangs up.
        Outcome r = shell("cd '" + dir_ + "' && printf 't.....' | '" + program +
                              "' call --tape t --sound heard.wav -y -q",
                          60000ms);
        ASSERT_EQ(r.status, 0) << "run " << run << ": " << r.err;
        // Each chunk the daemon taped it played first: the speaker's WAV
        // ends with the ingoing tape.
        std::vector<uint8_t> heard = wavBytes(path("heard.wav")), taped = kit::readFile(path("t-in.ul"));
        ASSERT_FALSE(taped.empty()) << "run " << run;
        ASSERT_GE(heard.size(), taped.size()) << "run " << run;
        ASSERT_TRUE(std::equal(taped.rbegin(), taped.rend(), heard.rbegin()))
            << "run " << run << ": the WAV's " << heard.size() << " bytes do not end with the " << taped.size()
            << " taped";
        std::remove(path("t-in.ul").c_str());
        std::remove(path("t-out.ul").c_str());
    }
}

// With --mic-cmd the player only plays and a second command is the
// microphone, both on the daemon's one sound socket.
TEST_F(CallctlTruth, AMicrophoneCommandIsHeardDownTheLineAndItsFailureIsReported)
{
    std::vector<uint8_t> mic(3960); // half a second, a whole number of the pattern's periods
    for (size_t i = 0; i < mic.size(); ++i)
        mic[i] = static_cast<uint8_t>(0x20 + i % 90);
    kit::writeFile(path("mic.ul"), mic);
    std::string program = sim::programPath("callctl");
    // The microphone says its file every half second, for as long as it is let.
    Outcome r = shell("cd '" + dir_ + "' && printf 't..........' | '" + program +
                          "' call --tape t -q --sound-cmd 'cat > played.ul' --mic-cmd 'while cat mic.ul; do sleep "
                          "0.5; done'",
                      60000ms);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::vector<uint8_t> said = kit::readFile(path("t-out.ul"));
    ASSERT_GE(said.size(), 160u);
    EXPECT_NE(std::search(mic.begin(), mic.end(), said.begin(), said.begin() + 160), mic.end())
        << "the outgoing tape holds what the microphone command wrote";
    // The player had the daemon's speaker, in whole chunks, ending with the
    // ingoing tape's last.  A chunk the player has no room for when it comes
    // is skipped, yet taped, so on a busy machine it may hold less than the
    // tape (and it holds what came before taping started).
    std::vector<uint8_t> played = kit::readFile(path("played.ul")), taped = kit::readFile(path("t-in.ul"));
    ASSERT_GE(played.size(), 1600u) << "the player had what the daemon played";
    EXPECT_EQ(played.size() % 160, 0u);
    EXPECT_NE(std::search(taped.begin(), taped.end(), played.end() - 160, played.end()), taped.end())
        << "the player's last chunk is the far end's, from the ingoing tape";

    r = shell("cd '" + dir_ + "' && printf '.....' | '" + program +
                  "' call -q --sound-cmd 'cat > /dev/null' --mic-cmd 'echo no microphone here >&2; exit 3'",
              60000ms);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "the microphone command 'echo no microphone here >&2; exit 3' ended before the "
                                "sound did, with status 3: no microphone here"))
        << r.err;
    EXPECT_EQ(callctl({"answer", "--mic-cmd", "cat mic.ul"}).status, 2) << "--mic-cmd without --sound-cmd";
}

TEST_F(CallctlTruth, PlayedWavIsCompleteEveryTimeOnABusyMachine)
{
    std::vector<uint8_t> tape = pattern(8000, 9);
    kit::writeFile(path("t-out.ul"), tape);
    std::atomic<bool> busy{true};
    std::vector<std::thread> load;
    for (int i = 0; i < 2; ++i)
        load.emplace_back([&] {
            volatile unsigned long spin = 0;
            while (busy)
                spin = spin + 1;
        });
    for (int run = 0; run < 25; ++run) {
        Outcome r = callctl({"play", "--outgoing-only", "--fast", "--ingoing", path("none.ul"), "--outgoing",
                             path("t-out.ul"), "--sound", path("heard.wav"), "-y"},
                            60000ms);
        ASSERT_EQ(r.status, 0) << "run " << run << ": " << r.err;
        ASSERT_EQ(wavBytes(path("heard.wav")), tape) << "run " << run;
    }
    busy = false;
    for (auto& t : load)
        t.join();
    // At a speaker's pace a second of tape takes a second.
    auto start = std::chrono::steady_clock::now();
    Outcome r = callctl({"play", "--outgoing-only", "--ingoing", path("none.ul"), "--outgoing", path("t-out.ul"),
                         "--sound", path("paced.wav")},
                        60000ms);
    auto took = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(wavBytes(path("paced.wav")), tape);
    EXPECT_GE(took, 900ms);
    EXPECT_EQ(r.out, "played 00:01.0, from 00:00.0 to 00:01.0 of 00:01.0, to the end\n");
}

TEST_F(CallctlTruth, PlayTellsWhatItPlayedAndRefusesWhatItCantDo)
{
    kit::writeFile(path("t-in.ul"), pattern(8000, 1));
    kit::writeFile(path("t-out.ul"), pattern(12000, 2));
    Outcome r = callctl({"play", "--tape", path("t"), "--fast", "--position", "0.5"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "played 00:00.5, from 00:00.5 to 00:01.0 of 00:01.0, to the end\n");
    r = callctl({"play", "--tape", path("t"), "--position", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "--position 00:01.0 is at or past the end of the tape (00:01.0)")) << r.err;
    EXPECT_EQ(r.out, "");
    r = callctl({"play", "--tape", path("t"), "--outgoing-only", "--position", "1"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "--position has no effect with --outgoing-only")) << r.err;
}

TEST_F(CallctlTruth, NothingTheUserDidNotNameAsOutputIsReplaced)
{
    std::vector<uint8_t> in = pattern(4000, 1), out = pattern(3000, 2);
    kit::writeFile(path("call-in.ul"), in);
    kit::writeFile(path("call-out.ul"), out);
    // The ".wav" forgotten: the outgoing tape is not replaced by a WAV.
    Outcome r = callctl({"tape", "export", path("call-in.ul"), path("call-out.ul")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, path("call-out.ul") + " exists; give --force (or -y)")) << r.err;
    EXPECT_EQ(kit::readFile(path("call-out.ul")), out);
    r = callctl({"tape", "export", path("call-in.ul"), path("call-in.ul"), path("call-in.ul")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "can't also be its output")) << r.err;
    EXPECT_EQ(kit::readFile(path("call-in.ul")), in);
    ASSERT_EQ(callctl({"tape", "export", path("call-in.ul"), path("hello.wav")}).status, 0);
    std::vector<uint8_t> wav = kit::readFile(path("hello.wav"));
    r = callctl({"tape", "import", path("hello.wav"), path("hello.wav"), "--force"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(kit::readFile(path("hello.wav")), wav);
    // Import exists to write tape files: it replaces them without asking.
    EXPECT_EQ(callctl({"tape", "import", path("hello.wav"), path("call-out.ul")}).status, 0);
    EXPECT_EQ(kit::readFile(path("call-out.ul")), in);

    // A speech WAV given as --sound by mistake is kept.
    r = callctl({"call", "--sound", path("hello.wav"), "--tape", path("call")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, path("hello.wav") + " exists")) << r.err;
    EXPECT_EQ(kit::readFile(path("hello.wav")), wav);

    // A failed export (the disk full) leaves neither a half WAV nor a
    // temporary file behind.
    kit::writeFile(path("big.ul"), pattern(200000, 7));
    std::string program = sim::programPath("callctl");
    r = shell("cd '" + dir_ + "' && trap '' XFSZ && ulimit -f 64 && '" + program +
              "' tape export big.ul big.wav");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(contains(r.err, "big.wav")) << r.err;
    EXPECT_EQ(shell("cd '" + dir_ + "' && ls -A | grep -c wav").out, "1\n") << "only hello.wav";
}

TEST_F(CallctlTruth, TheNextCallerDoesNotReplaceTheLastMessage)
{
    Outcome first = callctl({"answer", "--greeting", "none", "--response-limit", "0.5", "--response",
                             path("msg.ul")});
    ASSERT_EQ(first.status, 0) << first.err;
    std::vector<uint8_t> kept = kit::readFile(path("msg.ul"));
    ASSERT_FALSE(kept.empty());
    kit::writeFile(path("msg.ul"), pattern(100, 4)); // tell the two apart
    Outcome second = callctl({"answer", "--greeting", "none", "--response-limit", "0.5", "--response",
                              path("msg.ul")});
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_TRUE(contains(second.out, path("msg.ul") + " exists; the caller goes into " + path("msg-2.ul")))
        << second.out;
    EXPECT_EQ(kit::readFile(path("msg.ul")), pattern(100, 4));
    EXPECT_EQ(kit::readFile(path("msg-2.ul")).size(), kept.size());
}

} // namespace

namespace {

using namespace callctl_kit;
using CallctlEnds = ScratchTest;

bool segmentExists(int id)
{
    struct shmid_ds info;
    return shmctl(id, IPC_STAT, &info) == 0 && (info.shm_perm.mode & SHM_DEST) == 0;
}

// The segment id callctl shows at its start.
int segmentShownBy(const sim::DaemonProcess& p)
{
    const std::string tag = "segment ";
    if (!p.waitForLine(tag, 20000ms))
        return -1;
    std::string err = p.errors();
    return std::atoi(err.c_str() + err.find(tag) + tag.size());
}

// Its orphans come to this process, the subreaper: reap them as init would.
// Returns whether `watched` was among them.
bool reapOrphans(pid_t watched)
{
    bool seen = false;
    for (pid_t r; (r = waitpid(-1, nullptr, WNOHANG)) > 0;)
        seen = seen || r == watched;
    return seen;
}

// Killed with SIGKILL, alone, with its whole process group (a shell ending
// the job, a harness's time limit) or together with the helper it leaves
// to clean up (`pkill -9 callctl`): no daemon of the run outlives it, nor
// does the segment but in the last case, where `callctl stop` removes it.
TEST_F(CallctlEnds, AKilledCallctlLeavesNoDaemonAndNoSegment)
{
    enum class Kill { Alone, Group, WithHelper };
    for (Kill how : {Kill::Alone, Kill::Group, Kill::WithHelper}) {
        const char* name = how == Kill::Alone ? "alone" : how == Kill::Group ? "group" : "with-helper";
        SCOPED_TRACE(name);
        sim::DaemonProcess p;
        std::string program = sim::programPath("callctl");
        std::string take = path(std::string(name) + ".ul");
        ASSERT_TRUE(p.start(program, {program, "record", "--take", take, "--seconds", "600", "--verbose"}, {}));
        int id = segmentShownBy(p);
        ASSERT_GT(id, 0) << p.errors();
        ASSERT_TRUE(p.waitForLine("PID", 20000ms)) << "the record daemon's start\n" << p.output();
        pid_t daemon = 0, helper = 0;
        for (pid_t child : childrenOf(p.pid()))
            (commandOf(child).rfind("record-daemon", 0) == 0 ? daemon : helper) = child;
        ASSERT_GT(daemon, 0);
        ASSERT_GT(helper, 0);
        if (how == Kill::Group)
            p.kill(SIGKILL); // the daemons have groups of their own
        else
            ::kill(p.pid(), SIGKILL);
        if (how == Kill::WithHelper)
            ::kill(helper, SIGKILL);
        p.wait(20000ms); // reaps callctl; it has no status but its signal
        ASSERT_FALSE(p.running());

        auto deadline = std::chrono::steady_clock::now() + 30s;
        bool daemonEnded = false;
        while (!daemonEnded && std::chrono::steady_clock::now() < deadline) {
            daemonEnded = reapOrphans(daemon);
            std::this_thread::sleep_for(20ms);
        }
        EXPECT_TRUE(daemonEnded) << "the record daemon of the killed callctl still runs";
        while (segmentExists(id) && how != Kill::WithHelper && std::chrono::steady_clock::now() < deadline) {
            reapOrphans(0);
            std::this_thread::sleep_for(20ms);
        }
        struct shmid_ds info;
        if (how == Kill::WithHelper) {
            EXPECT_EQ(shmctl(id, IPC_STAT, &info), 0);
            EXPECT_EQ(info.shm_nattch, 0u) << "a daemon of the killed callctl still has the segment";
            shmctl(id, IPC_RMID, nullptr);
            continue;
        }
        EXPECT_FALSE(segmentExists(id)) << "the segment of a killed callctl should be removed";
        // Gone entirely once no daemon has it attached.
        while (shmctl(id, IPC_STAT, &info) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        EXPECT_NE(shmctl(id, IPC_STAT, &info), 0) << "a daemon of the killed callctl still has the segment";
    }
}

TEST_F(CallctlEnds, StopEndsALeftoverRunAndRemovesItsSegment)
{
    // A record daemon whose controlling application is "gone": this test
    // started it and leaves it to callctl stop.
    auto seg = std::make_unique<sim::Segment>();
    sim::Segment::setPath((*seg)->outgoingPath, path("left.ul"));
    writeWord((*seg)->tapeLimit, 8000 * 600);
    writeWord((*seg)->wrapMode, 1);
    writeWord((*seg)->recordFlags, FlagStartRequest);
    sim::SoundDevice mic(sim::SoundDevice::Kind::RecordPipe);
    mic.setPaced(true);
    mic.feed(std::vector<uint8_t>(8000 * 60, 0x55));
    sim::DaemonProcess daemon;
    ASSERT_TRUE(sim::startRecord(daemon, mic, 160, *seg));
    ASSERT_TRUE(seg->waitUntil([&] { return flagSet((*seg)->recordFlags, FlagActive); }, 20000ms));
    Outcome r = callctl({"stop", std::to_string(seg->id())}, 30000ms);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "segment " + std::to_string(seg->id()) + ": 2 processes ended, segment removed\n");
    EXPECT_EQ(daemon.wait(20000ms), 0) << "the daemon should end as asked";
    EXPECT_FALSE(segmentExists(seg->id()));

    r = callctl({"stop", "2147483646"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "no shared memory segment 2147483646")) << r.err;
}

} // namespace
