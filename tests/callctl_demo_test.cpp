// callctl demo, run short: every file it leaves is checked against the
// tapes and against what the daemons are known to do with them.
#include <cairo.h>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sstream>
#include <csignal>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "audio_io.h"
#include "callctl_kit.h"
#include "daemon_process.h"
#include "scratch_dir.h"
#include "whole_file.h"

namespace {

using namespace std::chrono_literals;
using callctl_kit::childrenOf;
using callctl_kit::commandOf;


struct Wav {
    SF_INFO info{};
    std::vector<uint8_t> raw;   // the data as stored
    std::vector<short> decoded; // as a player hears it
};

Wav readWav(const std::string& path)
{
    Wav w;
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &w.info);
    if (!f) {
        ADD_FAILURE() << "can't read " << path;
        return w;
    }
    size_t samples = static_cast<size_t>(w.info.frames) * static_cast<size_t>(w.info.channels);
    w.raw.resize(samples);
    w.raw.resize(static_cast<size_t>(sf_read_raw(f, w.raw.data(), static_cast<sf_count_t>(samples))));
    sf_seek(f, 0, SEEK_SET);
    w.decoded.resize(samples);
    w.decoded.resize(static_cast<size_t>(sf_read_short(f, w.decoded.data(), static_cast<sf_count_t>(samples))));
    sf_close(f);
    return w;
}

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// ctest runs each test in a process of its own; the demo runs once, in
// one test, and its parts are checked in turn.
struct DemoRun {
    std::string dir, summary, errors;
    std::optional<int> status;
    std::string path(const char* name) const { return dir + "/out/" + name; }
};

void endsWellAndSaysSo(const DemoRun& d)
{
    ASSERT_EQ(d.status, 0) << d.summary << d.errors;
    EXPECT_NE(d.summary.find("callctl demo: done in"), std::string::npos) << d.summary;
    EXPECT_EQ(d.summary.find("problem"), std::string::npos) << d.summary;
    EXPECT_NE(d.summary.find("remote code keyed 2468, read back 2468"), std::string::npos) << d.summary;
    for (const char* name : {"tape-in.ul", "tape-out.ul", "call.wav", "playback.wav", "playback-outgoing.wav",
                             "take.ul", "take.wav", "greeting.ul", "response.ul", "response.wav", "transcript.txt",
                             "call.png"})
        EXPECT_EQ(access(d.path(name).c_str(), R_OK), 0) << name;
    // Read on an 80-column terminal.
    std::istringstream lines(d.summary);
    for (std::string line; std::getline(lines, line);)
        EXPECT_LE(line.size(), 80u) << line;
    // Every file was put in place; no temporary one is left.
    EXPECT_EQ(std::system(("test -z \"$(ls -A '" + d.dir + "/out' | grep partial)\"").c_str()), 0);
}

void callWavHoldsBothTapedSidesInStep(const DemoRun& d)
{
    std::vector<uint8_t> in = kit::readFile(d.path("tape-in.ul")), out = kit::readFile(d.path("tape-out.ul"));
    ASSERT_GT(in.size(), 8000u); // seconds of call were taped
    ASSERT_GT(out.size(), 8000u);
    Wav w = readWav(d.path("call.wav"));
    EXPECT_EQ(w.info.channels, 2);
    EXPECT_EQ(w.info.samplerate, 8000);
    size_t frames = std::max(in.size(), out.size());
    ASSERT_EQ(w.raw.size(), 2 * frames);
    ASSERT_EQ(w.decoded.size(), 2 * frames);
    for (size_t i = 0; i < frames; ++i) {
        uint8_t left = i < in.size() ? in[i] : 0xFF, right = i < out.size() ? out[i] : 0xFF;
        ASSERT_EQ(w.raw[2 * i], left) << i;
        ASSERT_EQ(w.raw[2 * i + 1], right) << i;
        ASSERT_EQ(w.decoded[2 * i], ulawToLinear(left)) << i;
        ASSERT_EQ(w.decoded[2 * i + 1], ulawToLinear(right)) << i;
    }
}

void playbackWavsAreTheMixAndTheOutgoingSide(const DemoRun& d)
{
    std::vector<uint8_t> in = kit::readFile(d.path("tape-in.ul")), out = kit::readFile(d.path("tape-out.ul"));
    Wav mixed = readWav(d.path("playback.wav")), alone = readWav(d.path("playback-outgoing.wav"));
    ASSERT_EQ(mixed.raw.size(), std::min(in.size(), out.size()));
    for (size_t i = 0; i < mixed.raw.size(); ++i)
        ASSERT_EQ(mixed.raw[i], linearToUlaw(ulawToLinear(in[i]) + ulawToLinear(out[i]))) << i;
    EXPECT_EQ(alone.raw, out);
}

void takeAndResponseStopAtTheirLimits(const DemoRun& d)
{
    std::vector<uint8_t> take = kit::readFile(d.path("take.ul")), response = kit::readFile(d.path("response.ul"));
    // 6 s demo: a 0.72 s take rounded down to whole 160-byte chunks, a
    // 1.08 s response.
    EXPECT_EQ(take.size(), 5760u);
    EXPECT_EQ(response.size(), 8640u);
    EXPECT_EQ(readWav(d.path("take.wav")).raw, take);
    EXPECT_EQ(readWav(d.path("response.wav")).raw, response);
    EXPECT_NE(d.summary.find("tape full"), std::string::npos);
    // The caller's voice, not silence, was recorded.
    size_t loud = std::count_if(response.begin(), response.end(), [](uint8_t b) { return std::abs(ulawToLinear(b)) > 1000; });
    EXPECT_GT(loud, response.size() / 10);
}

void transcriptHoldsBannersTouchtonesCodeAndEveryDyingLine(const DemoRun& d)
{
    std::string t = kit::readText(d.path("transcript.txt"));
    EXPECT_EQ(count(t, "Orvex VoicePhone daemon: Version 1.1.0 (build 3)"), 2u);
    EXPECT_EQ(count(t, "Orvex Playback daemon (server): Version 1.0.0 (build 2)"), 2u);
    for (char key : std::string("*2468#"))
        EXPECT_EQ(count(t, std::string("Orvex ttyI2Audio daemon: Touchtone '") + key + "'"), 1u) << key;
    EXPECT_NE(t.find("Orvex VoicePhone daemon: Send request for DTMF '5'"), std::string::npos);
    EXPECT_NE(t.find("remote code read back: 2468"), std::string::npos);
    // The watcher looks every few milliseconds; on a busy machine it may
    // see the code grow by more than a digit at a time.
    size_t code = t.find("-> \"2468\"");
    ASSERT_NE(code, std::string::npos);
    EXPECT_NE(t.rfind("remoteCode \"", code), std::string::npos);
    // Two calls, two playbacks, one recording: every process said goodbye.
    EXPECT_EQ(count(t, "Orvex VoicePhone daemon: Dying"), 2u);
    EXPECT_EQ(count(t, "Orvex ttyI2Audio daemon: Dying"), 2u);
    EXPECT_EQ(count(t, "Orvex Audio2ttyI daemon: Dying"), 2u);
    EXPECT_EQ(count(t, "Orvex Playback daemon (server): Dying"), 2u);
    EXPECT_EQ(count(t, "Orvex Playback daemon (slave): Dying"), 2u);
    EXPECT_EQ(count(t, "Orvex Record daemon (server): Dying"), 1u);
    EXPECT_EQ(count(t, "Orvex Record daemon (slave): Dying"), 1u);
    // The record's changes sit between the lines, in time order.
    EXPECT_NE(t.find("recordFlags 0x01 StartRequest -> 0x06 Started|Active"), std::string::npos);
    EXPECT_NE(t.find("tapeFull 0 -> 1"), std::string::npos);
    double last = -1;
    std::istringstream lines(t);
    for (std::string line; std::getline(lines, line);) {
        double at = std::stod(line.substr(1));
        ASSERT_GE(at, last) << line;
        last = at;
    }
}

void pictureIsAPng(const DemoRun& d)
{
    cairo_surface_t* s = cairo_image_surface_create_from_png(d.path("call.png").c_str());
    ASSERT_EQ(cairo_surface_status(s), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_width(s), 1400);
    EXPECT_EQ(cairo_image_surface_get_height(s), 600);
    cairo_surface_destroy(s);
}

void checkEveryFile(const DemoRun& d)
{
    struct Check {
        const char* name;
        void (*run)(const DemoRun&);
    };
    for (Check c : {Check{"summary and files", endsWellAndSaysSo}, Check{"call.wav", callWavHoldsBothTapedSidesInStep},
                    Check{"playback", playbackWavsAreTheMixAndTheOutgoingSide},
                    Check{"take and response", takeAndResponseStopAtTheirLimits},
                    Check{"transcript", transcriptHoldsBannersTouchtonesCodeAndEveryDyingLine},
                    Check{"picture", pictureIsAPng}}) {
        SCOPED_TRACE(c.name);
        c.run(d);
    }
}

// The 6 s demo takes about 7 s on an idle machine.
constexpr auto demoDeadline = 120000ms;

bool startDemo(sim::DaemonProcess& demo, const DemoRun& d, std::vector<std::string> more = {})
{
    std::string program = sim::programPath("callctl");
    std::vector<std::string> argv{program, "demo", "--out", d.dir + "/out", "--seconds", "6"};
    argv.insert(argv.end(), more.begin(), more.end());
    return demo.start(program, argv, {});
}

void waitForDemo(sim::DaemonProcess& demo, DemoRun& d)
{
    d.status = demo.wait(demoDeadline);
    ASSERT_TRUE(d.status) << "the demo did not end within " << demoDeadline.count() / 1000 << " s";
    d.summary = demo.output();
    d.errors = demo.errors();
}

TEST(CallctlDemo, LeavesEveryFileRight)
{
    kit::ScratchDir dir;
    DemoRun d;
    d.dir = dir.path();
    // An earlier run's file, replaced as asked.
    ASSERT_EQ(mkdir((d.dir + "/out").c_str(), 0755), 0);
    kit::writeFile(d.path("call.wav"), std::vector<uint8_t>(100, 'x'));
    sim::DaemonProcess demo;
    ASSERT_TRUE(startDemo(demo, d, {"-y"}));
    ASSERT_NO_FATAL_FAILURE(waitForDemo(demo, d));
    checkEveryFile(d);
}

TEST(CallctlDemo, LeavesAnEarlierRunsFilesUnlessForced)
{
    kit::ScratchDir dir;
    std::string out = dir.path() + "/out";
    ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
    kit::writeFile(out + "/transcript.txt", std::vector<uint8_t>{'k', 'e', 'e', 'p'});
    sim::DaemonProcess demo;
    std::string program = sim::programPath("callctl");
    ASSERT_TRUE(demo.start(program, {program, "demo", "--out", out, "--seconds", "6"}, {}));
    EXPECT_EQ(demo.wait(demoDeadline), 1);
    EXPECT_NE(demo.errors().find(out + "/transcript.txt exists; give --force (or -y) to replace it"), std::string::npos)
        << demo.errors();
    EXPECT_EQ(kit::readText(out + "/transcript.txt"), "keep");
    // Refused before anything was written.
    EXPECT_EQ(std::system(("test $(ls -A '" + out + "' | wc -l) -eq 1").c_str()), 0);
}

// A machine busy elsewhere holds the daemons up for seconds at a time; the
// demo waits for what they report and ends as well as on an idle machine.
TEST(CallctlDemo, WaitsOutADaemonHeldUpForSeconds)
{
    kit::ScratchDir dir;
    DemoRun d;
    d.dir = dir.path();
    sim::DaemonProcess demo;
    ASSERT_TRUE(startDemo(demo, d));

    // The voicephone supervisor with both its pumps: the call is under way.
    std::vector<pid_t> call;
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (call.empty() && std::chrono::steady_clock::now() < deadline) {
        for (pid_t p : childrenOf(demo.pid()))
            if (commandOf(p).rfind("voicephone", 0) == 0 && childrenOf(p).size() == 2) {
                call = childrenOf(p);
                call.push_back(p);
            }
        if (call.empty())
            std::this_thread::sleep_for(5ms);
    }
    ASSERT_FALSE(call.empty()) << "waited 30 s for voicephone-daemon and its two pumps under callctl demo";
    // Not waits for anything: these are the stalls being imposed.  Two of
    // them, so the call lasts 8 s longer than on an idle machine while the
    // far end is never kept waiting for more than 4 s at a time.
    for (int stall = 0; stall < 2; stall++) {
        if (stall > 0)
            std::this_thread::sleep_for(500ms);
        for (pid_t p : call)
            kill(p, SIGSTOP);
        std::this_thread::sleep_for(4s);
        for (pid_t p : call)
            kill(p, SIGCONT);
    }
    ASSERT_NO_FATAL_FAILURE(waitForDemo(demo, d));
    checkEveryFile(d);
}

} // namespace
