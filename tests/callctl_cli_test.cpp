// callctl's command lines: usage errors, failures that name their cause,
// and the commands that move audio, checked by what lands in the files.
#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "audio_io.h"
#include "callctl_kit.h"
#include "daemon_process.h"
#include "scratch_dir.h"
#include "segment.h"
#include "whole_file.h"

namespace {

using namespace callctl_kit;
using CallctlCli = ScratchTest;

TEST_F(CallctlCli, UsageErrorsExitTwoAndNameTheBadValue)
{
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{}, "callctl: no command given"},
        {{"dial"}, "callctl: unknown command 'dial'"},
        {{"demo", "--seconds", "3"}, "callctl demo: --seconds: '3' is not a number of seconds from 6 to 600"},
        {{"demo", "--fast"}, "callctl demo: unknown option '--fast'"},
        {{"call", "--chunk", "0"}, "callctl call: --chunk: '0' is not a whole number from 1 to 65536"},
        {{"call", "--wrap", "8"}, "callctl call: --wrap: '8' is not 1 (mu-law) or 16 (16-bit linear)"},
        {{"call", "--remote-code", "12a"}, "callctl call: --remote-code: '12a' is not 1 to 16 digits"},
        {{"play", "--ingoing", "a.ul"}, "callctl play: --ingoing and --outgoing go together"},
        {{"play", "--sound", "x.wav", "--sound-cmd", "cat"}, "callctl play: give --sound or --sound-cmd, not both"},
        {{"record", "--seconds", "soon"}, "callctl record: --seconds: 'soon' is not a number of seconds"},
        {{"answer", "--response-limit"}, "callctl answer: option '--response-limit' needs a value"},
        {{"tape", "copy", "a", "b"}, "callctl tape: unknown action 'copy' (export or import)"},
        {{"tape", "export", "a.ul"}, "callctl tape: export takes two or three files, not 1"},
        {{"show"}, "callctl show: no segment id given"},
        {{"show", "12x"}, "callctl show: segment id: '12x' is not a whole number"},
    };
    for (const auto& c : cases) {
        Outcome r = callctl(c.args);
        std::string shown = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(r.status, 2) << shown << "\n" << r.err;
        EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
        EXPECT_NE(r.err.find("--help'."), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << shown;
    }
}

TEST_F(CallctlCli, EveryCommandHasHelp)
{
    for (const char* command : {"demo", "call", "answer", "play", "record", "tape", "show"}) {
        Outcome r = callctl({command, "--help"});
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_EQ(r.out.rfind(std::string("usage: callctl ") + command, 0), 0u) << r.out;
        EXPECT_EQ(r.err, "");
    }
    Outcome r = callctl({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Exit status: 0 done, 1 failed,\n2 usage error."), std::string::npos) << r.out;
}

// Every option `callctl help COMMAND` lists is described in the manual
// page, and every command has an entry there.
TEST_F(CallctlCli, TheManualDescribesEveryOptionTheHelpLists)
{
    std::string source = __FILE__;
    std::string man = kit::readText(source.substr(0, source.rfind("/tests/")) + "/tools/man/callctl.1");
    ASSERT_FALSE(man.empty()) << "tools/man/callctl.1 beside tests/";
    auto troff = [](std::string option) {
        for (size_t at = option.find('-'); at != std::string::npos; at = option.find('-', at + 2))
            option.insert(at, "\\");
        return option;
    };
    for (const char* command : {"demo", "call", "answer", "play", "record", "stop", "show"}) {
        EXPECT_NE(man.find(std::string(".B ") + command + "\n"), std::string::npos) << "an entry for " << command;
        Outcome r = callctl({"help", command});
        ASSERT_EQ(r.status, 0) << command;
        // An option's line starts with it: "  --fast   ..." or "  -q, --quiet   ...".
        std::istringstream lines(r.out);
        size_t options = 0;
        for (std::string line; std::getline(lines, line);) {
            size_t at = line.find_first_not_of(' ');
            if (at == std::string::npos || at == 0 || line[at] != '-')
                continue;
            for (std::string word; at < line.size() && line[at] == '-'; ++options) {
                size_t end = line.find_first_of(" ,=", at);
                word = line.substr(at, end - at);
                EXPECT_NE(man.find(troff(word)), std::string::npos) << command << " " << word;
                at = line.compare(end, 2, ", ") == 0 ? end + 2 : line.size();
            }
        }
        EXPECT_GT(options, 0u) << command;
    }
    for (const char* wanted : {"\\-\\-sound alsa", "\\-\\-mic\\-cmd", "\\-\\-fast", ".BR \\-q", "\\-y"})
        EXPECT_NE(man.find(wanted), std::string::npos) << wanted;
}

TEST_F(CallctlCli, FailuresExitOneAndSayWhy)
{
    Outcome r = callctl({"tape", "export", path("missing.ul"), path("x.wav")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.ul"), std::string::npos) << r.err;
    r = callctl({"show", "2147483647"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no shared memory segment 2147483647"), std::string::npos) << r.err;
    r = callctl({"record", "--daemons", path("nowhere")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--daemons " + path("nowhere") + ": no program"), std::string::npos) << r.err;
    // A tape the playback daemon can't open: its own message comes through.
    r = callctl({"play", "--tape", path("none")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Can't open tape file " + path("none") + "-in.ul (ingoing)"), std::string::npos) << r.err;
}

TEST_F(CallctlCli, TapeExportAndImportRoundTripByteExact)
{
    std::vector<uint8_t> in(12345), out(8000);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = static_cast<uint8_t>(i * 31 + 7);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<uint8_t>(255 - i % 256);
    kit::writeFile(path("in.ul"), in);
    kit::writeFile(path("out.ul"), out);
    Outcome r = callctl({"tape", "export", path("in.ul"), path("out.ul"), path("pair.wav")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "wrote " + path("pair.wav") + ": 2 channels, 12345 samples (00:01.5), 8 kHz mu-law\n");
    ASSERT_EQ(callctl({"tape", "import", path("pair.wav"), path("in2.ul"), path("out2.ul")}).status, 0);
    EXPECT_EQ(kit::readFile(path("in2.ul")), in);
    std::vector<uint8_t> out2 = kit::readFile(path("out2.ul"));
    ASSERT_EQ(out2.size(), in.size()); // padded with silence to the longer side
    EXPECT_TRUE(std::equal(out.begin(), out.end(), out2.begin()));

    ASSERT_EQ(callctl({"tape", "export", path("in.ul"), path("mono.wav")}).status, 0);
    r = callctl({"tape", "import", path("mono.wav"), path("back.ul")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("bytes copied"), std::string::npos);
    EXPECT_EQ(kit::readFile(path("back.ul")), in);
}

TEST_F(CallctlCli, RecordAndPlayCarryTheBytesThroughTheDaemons)
{
    std::vector<uint8_t> take(4000);
    for (size_t i = 0; i < take.size(); ++i)
        take[i] = static_cast<uint8_t>(i * 13);
    kit::writeFile(path("mic.ul"), take);
    ASSERT_EQ(callctl({"tape", "export", path("mic.ul"), path("mic.wav")}).status, 0);
    // The WAV as microphone, through record-daemon, into the take.
    Outcome r = callctl({"record", "--sound", path("mic.wav"), "--take", path("take.ul")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "recorded " + path("take.ul") + ": 4000 bytes (00:00.5)\n");
    EXPECT_EQ(kit::readFile(path("take.ul")), take);
    // The take as outgoing side, through playback-daemon, into a command.
    r = callctl({"play", "--outgoing-only", "--ingoing", path("none.ul"), "--outgoing", path("take.ul"), "--sound-cmd",
                 "cat > '" + path("played.raw") + "'"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(kit::readFile(path("played.raw")), take);
    // In 16-bit mode the device side carries linear samples.
    r = callctl({"play", "--outgoing-only", "--wrap", "16", "--ingoing", path("none.ul"), "--outgoing", path("take.ul"),
                 "--sound-cmd", "cat > '" + path("played16.raw") + "'"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<uint8_t> linear = kit::readFile(path("played16.raw"));
    ASSERT_EQ(linear.size(), 2 * take.size());
    for (size_t i = 0; i < take.size(); ++i)
        ASSERT_EQ(static_cast<int16_t>(linear[2 * i] | linear[2 * i + 1] << 8), ulawToLinear(take[i])) << i;
}

// Keys come from a pipe one at a time, each once the last one's effect is
// in the live transcript, so a busy machine makes the run slower, not
// different.
TEST_F(CallctlCli, CallConsoleTakesKeysFromAPipeAndEndsCleanly)
{
    std::string program = sim::programPath("callctl");
    ASSERT_EQ(mkfifo(path("keys").c_str(), 0600), 0);
    // Read and write: opening it never waits for callctl, and callctl never
    // reads an end of the keys.
    int keys = open(path("keys").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(keys, 0);
    sim::DaemonProcess p;
    ASSERT_TRUE(p.start("/bin/sh",
                        {"/bin/sh", "-c",
                         "cd '" + dir_ + "' && exec '" + program + "' call --remote-code 907 --transcript call.txt < keys"},
                        {}));
    auto transcript = [&] {
        std::vector<uint8_t> text = kit::readFile(path("call.txt"));
        return std::string(text.begin(), text.end());
    };
    auto waitFor = [&](const std::function<bool()>& done, const std::string& what) {
        auto deadline = std::chrono::steady_clock::now() + 60s;
        while (!done() && p.running() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        EXPECT_TRUE(done()) << "waited 60 s for " << what << "\n" << transcript();
    };
    auto press = [&](char key, const std::string& effect) {
        ASSERT_EQ(write(keys, &key, 1), 1);
        waitFor([&] { return transcript().find(effect) != std::string::npos; }, "'" + effect + "' after key " + key);
    };
    // Effects that stay, or lines printed: a request the daemon takes
    // within a millisecond may pass between two looks at the record.
    press('t', "-> 0x06 Started|Active");
    press('5', "Orvex VoicePhone daemon: Send request for DTMF '5'");
    press('k', "callctl            remote code: 907");
    // Taped for a while, then moved back and rewound.
    waitFor([&] { return kit::readFile(path("call-in.ul")).size() > 4000u; }, "more than 4000 bytes of ingoing tape");
    press('t', "-> 0x12 Started|Stopped");
    press('b', "callctl            back 5 s");
    press('r', "rewindDone 0 -> 1");
    press('x', "Orvex VoicePhone daemon: Dying");
    auto status = p.wait(60000ms);
    close(keys);
    ASSERT_EQ(status, 0) << p.output() << p.errors();
    EXPECT_NE(p.output().find("touchtones heard: *907#"), std::string::npos) << p.output();
    EXPECT_NE(p.output().find("remote code: 907"), std::string::npos) << p.output();
}

TEST_F(CallctlCli, CallTakesAnInheritedSocketAsTheLine)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    int far = pair[0], lineFd = pair[1];
    // The far end talks at the line's pace and takes what the daemon sends.
    std::atomic<bool> talking{true};
    std::atomic<size_t> heard{0};
    std::thread farEnd([&] {
        std::vector<uint8_t> voice(160), in(4096);
        size_t at = 0;
        while (talking) {
            for (auto& b : voice)
                b = static_cast<uint8_t>(0x20 + at++ % 64); // never DLE
            // The call may end before talking does: a gone line is EPIPE,
            // not a signal that takes the whole test down.
            if (send(far, voice.data(), voice.size(), MSG_NOSIGNAL) < 0)
                break;
            pollfd p{far, POLLIN, 0};
            auto until = std::chrono::steady_clock::now() + 20ms;
            while (poll(&p, 1, 5) > 0 && (p.revents & POLLIN)) {
                ssize_t n = read(far, in.data(), in.size());
                if (n <= 0)
                    break;
                heard += static_cast<size_t>(n);
                if (std::chrono::steady_clock::now() > until)
                    break;
            }
            std::this_thread::sleep_until(until);
        }
    });
    sim::DaemonProcess p;
    std::string program = sim::programPath("callctl");
    std::string line = "cd '" + dir_ + "' && printf 't........' | '" + program + "' call --line fd:" +
                       std::to_string(lineFd);
    ASSERT_TRUE(p.start("/bin/sh", {"/bin/sh", "-c", line}, {lineFd}));
    close(lineFd);
    std::optional<int> status = p.wait(20000ms);
    talking = false;
    farEnd.join();
    close(far);
    ASSERT_EQ(status, 0) << p.output() << p.errors();
    std::vector<uint8_t> taped = kit::readFile(path("call-in.ul"));
    ASSERT_GT(taped.size(), 800u) << "the far end's voice should be on the ingoing tape";
    for (size_t i = 0; i < taped.size(); ++i)
        ASSERT_TRUE(taped[i] >= 0x20 && taped[i] < 0x60) << "byte " << i << " is not the far end's";
    EXPECT_GT(heard.load(), 800u) << "the daemon should have sent the microphone down the line";
}

TEST_F(CallctlCli, ShowDecodesALiveRecordAndWatchesItGo)
{
    auto seg = std::make_unique<sim::Segment>();
    writeWord((*seg)->recordFlags, FlagStarted | FlagActive);
    writeWord((*seg)->tapePosition, 40000);
    sim::Segment::setPath((*seg)->ingoingPath, "/tmp/remote.ul");
    Outcome r = callctl({"show", std::to_string(seg->id())});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("recordFlags 0x06 Started|Active"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("tapePosition 40000 (00:05.0)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ingoing   /tmp/remote.ul"), std::string::npos) << r.out;

    sim::DaemonProcess watch;
    std::string program = sim::programPath("callctl");
    ASSERT_TRUE(watch.start(program, {program, "show", std::to_string(seg->id()), "--watch", "--interval", "20"}, {}));
    ASSERT_TRUE(watch.waitForLine("outgoing  -")) << watch.output();
    writeWord((*seg)->stopRequest, 1);
    ASSERT_TRUE(watch.waitForLine("stopRequest 0 -> 1")) << watch.output();
    int id = seg->id();
    seg.reset(); // removing the segment ends the watch
    EXPECT_EQ(watch.wait(3000ms), 0);
    EXPECT_NE(watch.output().find("segment " + std::to_string(id) + " removed"), std::string::npos);
}

} // namespace
