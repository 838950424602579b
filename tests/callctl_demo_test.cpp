// callctl demo, run short: every file it leaves is checked against the
// tapes and against what the daemons are known to do with them.
#include <cairo.h>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sstream>
#include <unistd.h>

#include "audio_io.h"
#include "daemon_process.h"

namespace {

using namespace std::chrono_literals;

std::vector<uint8_t> fileBytes(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

std::string fileText(const std::string& path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

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

class CallctlDemo : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/callctl-demo-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        sim::DaemonProcess demo;
        std::string program = sim::programPath("callctl");
        ASSERT_TRUE(demo.start(program, {program, "demo", "--out", dir_ + "/out", "--seconds", "6"}, {}));
        status_ = demo.wait(30000ms);
        summary_ = demo.output();
        errors_ = demo.errors();
    }
    static void TearDownTestSuite() { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    static std::string path(const char* name) { return dir_ + "/out/" + name; }

    static std::string dir_, summary_, errors_;
    static std::optional<int> status_;
};

std::string CallctlDemo::dir_, CallctlDemo::summary_, CallctlDemo::errors_;
std::optional<int> CallctlDemo::status_;

TEST_F(CallctlDemo, EndsWellAndSaysSo)
{
    ASSERT_EQ(status_, 0) << summary_ << errors_;
    EXPECT_NE(summary_.find("callctl demo: done in"), std::string::npos) << summary_;
    EXPECT_EQ(summary_.find("problem"), std::string::npos) << summary_;
    EXPECT_NE(summary_.find("remote code keyed 2468, read back 2468"), std::string::npos) << summary_;
    for (const char* name : {"tape-in.ul", "tape-out.ul", "call.wav", "playback.wav", "playback-outgoing.wav",
                             "take.ul", "take.wav", "greeting.ul", "response.ul", "response.wav", "transcript.txt",
                             "call.png"})
        EXPECT_EQ(access(path(name).c_str(), R_OK), 0) << name;
}

TEST_F(CallctlDemo, CallWavHoldsBothTapedSidesInStep)
{
    std::vector<uint8_t> in = fileBytes(path("tape-in.ul")), out = fileBytes(path("tape-out.ul"));
    ASSERT_GT(in.size(), 8000u); // seconds of call were taped
    ASSERT_GT(out.size(), 8000u);
    Wav w = readWav(path("call.wav"));
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

TEST_F(CallctlDemo, PlaybackWavsAreTheMixAndTheOutgoingSide)
{
    std::vector<uint8_t> in = fileBytes(path("tape-in.ul")), out = fileBytes(path("tape-out.ul"));
    Wav mixed = readWav(path("playback.wav")), alone = readWav(path("playback-outgoing.wav"));
    ASSERT_EQ(mixed.raw.size(), std::min(in.size(), out.size()));
    for (size_t i = 0; i < mixed.raw.size(); ++i)
        ASSERT_EQ(mixed.raw[i], linearToUlaw(ulawToLinear(in[i]) + ulawToLinear(out[i]))) << i;
    EXPECT_EQ(alone.raw, out);
}

TEST_F(CallctlDemo, TakeAndResponseStopAtTheirLimits)
{
    std::vector<uint8_t> take = fileBytes(path("take.ul")), response = fileBytes(path("response.ul"));
    // 6 s demo: a 0.72 s take rounded down to whole 160-byte chunks, a
    // 1.08 s response.
    EXPECT_EQ(take.size(), 5760u);
    EXPECT_EQ(response.size(), 8640u);
    EXPECT_EQ(readWav(path("take.wav")).raw, take);
    EXPECT_EQ(readWav(path("response.wav")).raw, response);
    EXPECT_NE(summary_.find("tape full"), std::string::npos);
    // The caller's voice, not silence, was recorded.
    size_t loud = std::count_if(response.begin(), response.end(), [](uint8_t b) { return std::abs(ulawToLinear(b)) > 1000; });
    EXPECT_GT(loud, response.size() / 10);
}

TEST_F(CallctlDemo, TranscriptHoldsBannersTouchtonesCodeAndEveryDyingLine)
{
    std::string t = fileText(path("transcript.txt"));
    EXPECT_EQ(count(t, "Orvex VoicePhone daemon: Version 1.1.0 (build 3)"), 2u);
    EXPECT_EQ(count(t, "Orvex Playback daemon (server): Version 1.0.0 (build 2)"), 2u);
    for (char key : std::string("*2468#"))
        EXPECT_EQ(count(t, std::string("Orvex ttyI2Audio daemon: Touchtone '") + key + "'"), 1u) << key;
    EXPECT_NE(t.find("Orvex VoicePhone daemon: Send request for DTMF '5'"), std::string::npos);
    EXPECT_NE(t.find("remote code read back: 2468"), std::string::npos);
    EXPECT_NE(t.find("remoteCode \"246\" -> \"2468\""), std::string::npos);
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

TEST_F(CallctlDemo, PictureIsAPng)
{
    cairo_surface_t* s = cairo_image_surface_create_from_png(path("call.png").c_str());
    ASSERT_EQ(cairo_surface_status(s), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_width(s), 1400);
    EXPECT_EQ(cairo_image_surface_get_height(s), 600);
    cairo_surface_destroy(s);
}

} // namespace
