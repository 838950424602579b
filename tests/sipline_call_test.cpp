// Real calls through sipline: baresip at the far end, voicephone-daemon on
// the line, each test in its own loopback-only network namespace.
#include "sipline_harness.h"

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <sys/mount.h>
#include <sys/stat.h>

extern "C" {
#include <spandsp.h>
}
#define HAVE_STDBOOL_H 1
#include <re/re_types.h>
#include <rem/rem_g711.h>

using namespace siptest;

namespace {

constexpr uint16_t siplinePort = 5060;
constexpr uint16_t farPort = 5070;
const std::string siplineUri = "sip:line@127.0.0.1:5060";
const std::string farUri = "sip:far@127.0.0.1:5070";
// A playout delay that outlasts the scheduling stalls of a loaded machine,
// so a test about exact audio is not a test of the machine's load.
const char* const jitter = "200";

bool contains(const sim::DaemonProcess& p, const std::string& text)
{
    return p.output().find(text) != std::string::npos || p.errors().find(text) != std::string::npos;
}

} // namespace

// The far end calls in; the daemon hears every byte value exactly and the
// far end hears every byte value the daemon sent exactly; the far end's
// BYE ends the daemon's call (DLE ETX) and sipline with it.
TEST(SiplineCall, InboundOverSocketCarriesEveryByteBothWaysAndByeEndsTheDaemon)
{
    SIPLINE_PRIVATE_NETWORK();
    Application app;
    Bytes toFar = everyByte(8);
    Bytes fromFar = everyByte(8);
    app.sound.setPaced(true);

    sim::DaemonProcess sipline;
    ASSERT_TRUE(startSipline(sipline,
                             {"--sip", "127.0.0.1:5060", "--rtp-ports", "20000-20099", "--jitter", jitter, "--calls", "1", "--exec",
                              app.command(false), "answer"},
                             {app.sound.daemonFd()}));
    ASSERT_TRUE(sipline.waitForLine("listening for SIP", 10000ms)) << sipline.errors();

    FarEnd far(farPort, silence(8000) + linear(fromFar) + silence(8000 * 3));
    ASSERT_TRUE(far.start(siplineUri, 30));
    // The microphone starts once the call is up: audio paced out before the
    // daemon reads would reach it as one burst, and live audio the line
    // cannot take at once is dropped, as on a real line.
    ASSERT_TRUE(app.seg.waitFor(app.cb().a2tRunning, 1, 20000ms)) << sipline.output() << sipline.errors();
    app.sound.feed(Bytes(8000, 0xFF));
    app.sound.feed(toFar);
    app.sound.feed(Bytes(8000 * 5, 0xFF));
    // The far end's file ends after 5.3 s: it hangs up, the daemon hears
    // DLE ETX and ends, then sipline, having served its one call.
    auto status = sipline.wait(30000ms);
    ASSERT_TRUE(status) << sipline.output() << sipline.errors();
    EXPECT_EQ(*status, 0);
    EXPECT_TRUE(contains(sipline, "sipline: line: call ended: far end hung up")) << sipline.output();
    EXPECT_TRUE(contains(sipline, "Orvex ttyI2Audio daemon: Dying"));
    EXPECT_TRUE(contains(sipline, "Orvex Audio2ttyI daemon: Dying"));
    EXPECT_TRUE(contains(sipline, "Orvex VoicePhone daemon: Dying"));
    EXPECT_TRUE(contains(sipline, "the application let go of the line"));

    Bytes played = app.sound.played();
    EXPECT_NE(find(played, canonicalAll(fromFar)), std::string::npos)
        << "the far end's audio did not reach the daemon whole; played " << played.size() << " bytes";
    auto heard = far.heardAfterTheCall();
    EXPECT_NE(find(heard, linearAsHeard(toFar)), std::string::npos)
        << "the daemon's audio did not reach the far end whole; heard " << heard.size() << " samples\n"
        << sipline.output() << sipline.errors();
}

// A far end that speaks only A-law: sipline turns its PCMA into the line's
// µ-law and the line's µ-law into PCMA, every byte value, through linear
// with librem's G.711 tables as baresip uses them.  (The G.711 direct
// conversion tables and spandsp's encoder round a few dozen codes the
// other way: transcoding is one choice among several, not a law.)
TEST(SiplineCall, APcmaFarEndIsTranscodedBothWays)
{
    SIPLINE_PRIVATE_NETWORK();
    Application app;
    Bytes toFar = everyByte(4);
    Bytes fromFar = everyByte(4);
    app.sound.setPaced(true);

    sim::DaemonProcess sipline;
    ASSERT_TRUE(startSipline(sipline,
                             {"--sip", "127.0.0.1:5060", "--rtp-ports", "20000-20099", "--jitter", jitter, "--calls", "1",
                              "--exec", app.command(false), "answer"},
                             {app.sound.daemonFd()}));
    ASSERT_TRUE(sipline.waitForLine("listening for SIP", 10000ms)) << sipline.errors();
    FarEnd far(farPort, silence(8000) + linear(fromFar) + silence(8000 * 3), "PCMA");
    ASSERT_TRUE(far.start(siplineUri, 30));
    ASSERT_TRUE(app.seg.waitFor(app.cb().a2tRunning, 1, 20000ms)) << sipline.output() << sipline.errors();
    app.sound.feed(Bytes(8000, 0xFF));
    app.sound.feed(toFar);
    app.sound.feed(Bytes(8000 * 5, 0xFF));
    auto status = sipline.wait(30000ms);
    ASSERT_TRUE(status) << sipline.output() << sipline.errors();
    EXPECT_EQ(*status, 0);

    Bytes reachesTheLine;
    std::vector<int16_t> reachesTheFarEnd;
    for (int16_t x : linear(fromFar))
        reachesTheLine.push_back(g711_pcm2ulaw(g711_alaw2pcm(g711_pcm2alaw(x))));
    for (uint8_t u : toFar)
        reachesTheFarEnd.push_back(g711_alaw2pcm(g711_pcm2alaw(g711_ulaw2pcm(u))));
    Bytes played = app.sound.played();
    EXPECT_NE(find(played, reachesTheLine), std::string::npos)
        << "the far end's A-law did not reach the daemon as µ-law, whole; played " << played.size() << " bytes";
    auto heard = far.heardAfterTheCall();
    EXPECT_NE(find(heard, reachesTheFarEnd), std::string::npos)
        << "the daemon's µ-law did not reach the far end as A-law, whole; heard " << heard.size() << " samples\n"
        << sipline.output() << sipline.errors();
}

// sipline dials out with a pty line; the far end keys *2468# as RFC 4733
// events and the daemon collects the code; the daemon's own DTMF tone is
// heard at the far end by spandsp; the daemon's end sends BYE.
TEST(SiplineCall, OutboundOverPtyCarriesKeysBothWaysAndTheApplicationHangsUp)
{
    SIPLINE_PRIVATE_NETWORK();
    Application app;
    app.sound.setPaced(true);
    app.sound.feed(Bytes(8000 * 20, 0xFF));

    FarEnd far(farPort, silence(8000 * 30));
    ASSERT_TRUE(far.start("", 40));
    sim::DaemonProcess sipline;
    ASSERT_TRUE(startSipline(sipline,
                             {"--sip", "127.0.0.1:5060", "--rtp-ports", "20000-20099", "--jitter", jitter, "--exec", app.command(true),
                              "--pty", "call", farUri},
                             {app.sound.daemonFd()}));
    ASSERT_TRUE(app.seg.waitFor(app.cb().phoneUp, 1, 20000ms)) << sipline.output() << sipline.errors();

    ASSERT_TRUE(far.command("sndcode", "*2468#"));
    ASSERT_TRUE(app.seg.waitFor(app.cb().codeComplete, 1, 20000ms)) << sipline.output();
    EXPECT_STREQ(app.cb().remoteCode, "2468");
    // Each line is printed before codeComplete is set, but reaches us through
    // a pipe: wait for it rather than look at once.
    for (char key : std::string("*2468#"))
        EXPECT_TRUE(sipline.waitForLine(std::string("Touchtone '") + key + "'", 10000ms)) << key;

    writeByte(app.cb().dtmfKey, '5');
    ASSERT_TRUE(app.seg.waitFor(app.cb().dtmfPending, 1, 5000ms));
    ASSERT_TRUE(app.seg.waitFor(app.cb().dtmfPending, 0, 10000ms));
    writeWord(app.cb().stopRequest, 1);

    auto status = sipline.wait(20000ms);
    ASSERT_TRUE(status) << sipline.output() << sipline.errors();
    EXPECT_EQ(*status, 0);
    EXPECT_TRUE(contains(sipline, "hanging up: the application let go of the line")) << sipline.output();
    EXPECT_TRUE(far.waitForLine("session closed", 10000ms)) << far.process.output();
    far.command("quit");
    far.process.wait(20000ms);

    auto heard = far.heard();
    ASSERT_GT(heard.size(), 8000u);
    dtmf_rx_state_t* receiver = dtmf_rx_init(nullptr, nullptr, nullptr);
    ASSERT_NE(receiver, nullptr);
    dtmf_rx(receiver, heard.data(), static_cast<int>(heard.size()));
    char keys[16] = {};
    dtmf_rx_get(receiver, keys, sizeof keys - 1);
    dtmf_rx_free(receiver);
    // The tone is live audio, paced by the microphone: a machine busy enough
    // to starve the line for a frame puts silence inside it, which a
    // receiver hears as the key pressed twice.  Another key, or none, is a
    // fault.
    std::string heardKeys(keys);
    EXPECT_FALSE(heardKeys.empty());
    EXPECT_EQ(heardKeys.find_first_not_of('5'), std::string::npos) << heardKeys;
    EXPECT_LE(heardKeys.size(), 3u) << heardKeys; // a 250 ms tone
}

// Answer mode over the socket line: the greeting takes its real time and
// reaches the far end whole; what the caller says then lands in the
// response file whole.
TEST(SiplineCall, AnswerModeGreetingAndResponseAreExact)
{
    SIPLINE_PRIVATE_NETWORK();
    Application app;
    Bytes greeting = everyByte(113); // 28928 bytes: 3.616 s
    Bytes message = everyByte(8);
    writeFile(app.dir + "/greeting.ul", greeting);
    writeWord(app.cb().answerMode, 1);

    sim::DaemonProcess sipline;
    ASSERT_TRUE(startSipline(sipline,
                             {"--sip", "127.0.0.1:5060", "--rtp-ports", "20000-20099", "--jitter", jitter, "--calls", "1", "--exec",
                              app.command(false), "answer"},
                             {app.sound.daemonFd()}));
    ASSERT_TRUE(sipline.waitForLine("listening for SIP", 10000ms)) << sipline.errors();
    // The caller speaks well after the greeting's end, even on a slow day.
    FarEnd far(farPort, silence(8000 * 9) + linear(message) + silence(8000 * 2));
    ASSERT_TRUE(far.start(siplineUri, 30));
    ASSERT_TRUE(app.seg.waitFor(app.cb().phoneUp, 1, 20000ms)) << sipline.output() << sipline.errors();

    auto started = std::chrono::steady_clock::now();
    writeWord(app.cb().messageStart, 1);
    ASSERT_TRUE(app.seg.waitFor(app.cb().messageDone, 1, 20000ms));
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // Never faster than the line takes it (the socket holds a few frames);
    // slower only by what a loaded machine's stalls add.
    EXPECT_GT(took, 3.616 - 0.2) << "the greeting went down the line faster than the line takes it";
    EXPECT_LT(took, 3.616 + 3.0) << "the greeting went down the line far slower than the line takes it";
    writeWord(app.cb().responseStart, 1);

    auto status = sipline.wait(30000ms);
    ASSERT_TRUE(status) << sipline.output() << sipline.errors();
    EXPECT_EQ(*status, 0);
    Bytes response = readFile(app.dir + "/response.ul");
    EXPECT_NE(find(response, canonicalAll(message)), std::string::npos)
        << "the caller's message is not whole in the response file of " << response.size() << " bytes";
    auto heard = far.heardAfterTheCall();
    EXPECT_NE(find(heard, linearAsHeard(greeting)), std::string::npos)
        << "the greeting did not reach the far end whole; heard " << heard.size() << " samples";
}

// Loss and reordering injected in sipline's receive path: what is lost
// plays as silence (0xFF), whole packets at a time, and everything else
// stays at its place in time.
TEST(SiplineCall, LostPacketsPlayAsSilenceAndTheStreamStaysAligned)
{
    SIPLINE_PRIVATE_NETWORK();
    Application app;
    // No code for zero in the pattern, so silence tells a loss.
    Bytes pattern;
    for (uint8_t b : everyByte(128))
        if (b != 0xFF && b != 0x7F)
            pattern.push_back(b);

    sim::DaemonProcess sipline;
    ASSERT_TRUE(startSipline(sipline,
                             {"--sip", "127.0.0.1:5060", "--rtp-ports", "20000-20099", "--jitter", jitter, "--calls", "1",
                              "--impair-rx", "10%,15", "--exec", app.command(false), "answer"},
                             {app.sound.daemonFd()}));
    ASSERT_TRUE(sipline.waitForLine("listening for SIP", 10000ms)) << sipline.errors();
    FarEnd far(farPort, silence(8000) + linear(pattern) + silence(8000));
    ASSERT_TRUE(far.start(siplineUri, 30));
    auto status = sipline.wait(30000ms);
    ASSERT_TRUE(status) << sipline.output() << sipline.errors();

    Bytes played = app.sound.played();
    ASSERT_GT(played.size(), pattern.size());
    // The offset at which every sample that is not silence matches.
    size_t best = std::string::npos;
    for (size_t k = 0; k + pattern.size() <= played.size() && best == std::string::npos; k++) {
        if (played[k] == 0xFF)
            continue;
        bool all = true;
        for (size_t i = 0; i < pattern.size() && all; i++)
            all = played[k + i] == 0xFF || played[k + i] == pattern[i];
        if (all)
            best = k;
    }
    ASSERT_NE(best, std::string::npos) << "the stream shifted in time";
    size_t lost = 0;
    for (size_t i = 0; i < pattern.size(); i++)
        lost += played[best + i] == 0xFF;
    // About 10 % of 20 ms packets; the first sample of the pattern may sit in a lost one.
    EXPECT_GT(lost, pattern.size() / 40);
    EXPECT_LT(lost, pattern.size() / 4);
    EXPECT_EQ(lost % 160, 0u) << "loss comes in whole packets";
}

namespace {

// Noise without DLE or the codes for zero, no stretch of which repeats.
Bytes plainNoise(uint32_t seed, size_t n)
{
    std::mt19937 rng(seed);
    Bytes b;
    while (b.size() < n) {
        auto v = static_cast<uint8_t>(rng());
        if (v != 0x10 && v != 0x7F && v != 0xFF)
            b.push_back(v);
    }
    return b;
}

pid_t childOf(pid_t parent)
{
    std::ifstream in("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
    pid_t child = -1;
    in >> child;
    return child;
}

} // namespace

// A sipline held up (stopped here for 0.6 s, twice) keeps its stream on
// the clock: the far end hears each hold-up as a gap, and what is said
// after it in its time, rather than a stream that runs later and later
// until the far end drops it as too late.  The command ends as soon as it
// has written, its last second still in the line: that is sent before BYE.
TEST(SiplineCall, AHeldUpLineStaysOnTheClock)
{
    SIPLINE_PRIVATE_NETWORK();
    kit::ScratchDir scratch;
    const std::string& dir = scratch.path();
    Bytes last = plainNoise(3, 8000);
    Bytes voice = plainNoise(4, 8000 * 4);
    voice.insert(voice.end(), last.begin(), last.end());
    writeFile(dir + "/voice.ul", voice);

    sim::DaemonProcess near, far;
    ASSERT_TRUE(startSipline(near,
                             {"--sip", "127.0.0.1:5060", "--rtp-ports", "20000-20099", "--calls", "1", "--exec",
                              "exec /usr/bin/timeout 20 bash -c 'cat " + dir + "/voice.ul >&$SIPLINE_FD'", "answer"},
                             {}));
    ASSERT_TRUE(near.waitForLine("listening for SIP", 10000ms)) << near.errors();
    ASSERT_TRUE(startSipline(far,
                             {"--sip", "127.0.0.1:5070", "--rtp-ports", "30000-30099", "--exec",
                              lineToFile(dir + "/far.raw", 10), "call", siplineUri},
                             {}));
    ASSERT_TRUE(near.waitForLine("answered", 10000ms)) << near.output() << near.errors();
    pid_t held = childOf(near.pid());
    ASSERT_GT(held, 0);
    for (int stop = 0; stop < 2; stop++) {
        std::this_thread::sleep_for(800ms);
        ASSERT_EQ(kill(held, SIGSTOP), 0);
        std::this_thread::sleep_for(600ms);
        ASSERT_EQ(kill(held, SIGCONT), 0);
    }
    ASSERT_TRUE(near.wait(30000ms)) << near.output() << near.errors();
    ASSERT_TRUE(far.wait(30000ms)) << far.output() << far.errors();

    // Each 20 ms of the last second, found whole at the far end.
    Bytes heard = readFile(dir + "/far.raw");
    size_t found = 0;
    for (size_t at = 0; at + 160 <= last.size(); at += 160)
        found += find(heard, Bytes(last.begin() + static_cast<long>(at), last.begin() + static_cast<long>(at + 160))) !=
                 std::string::npos;
    EXPECT_GE(found, 45u) << "of 50 frames said after the hold-ups, in " << heard.size() << " bytes heard\n"
                          << near.output() << far.output();
}

// SIP's refusals: a second call while one rings gets 486, the ringing
// call is cancelled, and an offer with no G.711 gets 488; then a call on
// the published pty is taken by opening it and ended by closing it.  A
// SIGHUP then stops sipline.
TEST(SiplineCall, BusyCancelNoUsableCodecThePtyLinkAndAHangUp)
{
    SIPLINE_PRIVATE_NETWORK();
    kit::ScratchDir scratch;
    const std::string& dir = scratch.path();
    sim::DaemonProcess sipline;
    // A pty line nobody opens: calls ring until cancelled.
    ASSERT_TRUE(startSipline(sipline, {"--sip", "127.0.0.1:5060", "--rtp-ports", "20000-20099", "--jitter", jitter, "--link",
                                       dir + "/line", "answer"},
                             {}));
    ASSERT_TRUE(sipline.waitForLine("listening for SIP", 10000ms)) << sipline.errors();

    FarEnd first(farPort, silence(8000 * 20));
    ASSERT_TRUE(first.start(siplineUri, 30));
    ASSERT_TRUE(first.waitForLine("180 Ringing", 10000ms)) << first.process.output();
    FarEnd second(farPort + 2, silence(8000 * 20));
    ASSERT_TRUE(second.start(siplineUri, 30));
    EXPECT_TRUE(second.waitForLine("486 Busy Here", 10000ms)) << second.process.output();
    EXPECT_TRUE(sipline.waitForLine("busy: refused a call from sip:far@127.0.0.1:5072", 5000ms));

    ASSERT_TRUE(first.command("hangup"));
    EXPECT_TRUE(sipline.waitForLine("call ended: cancelled by the far end", 10000ms)) << sipline.output();

    FarEnd third(farPort + 4, silence(8000 * 20), "G722/16000/1");
    ASSERT_TRUE(third.start(siplineUri, 30));
    EXPECT_TRUE(third.waitForLine("488 Not Acceptable Here", 10000ms)) << third.process.output();
    EXPECT_TRUE(sipline.waitForLine("refused: no usable codec offered", 5000ms));

    // An application that opens the pty takes the ringing call; it hears
    // the line (silence here) and, when it closes the pty, BYE goes out.
    FarEnd fourth(farPort + 6, silence(8000 * 20));
    ASSERT_TRUE(fourth.start(siplineUri, 30));
    ASSERT_TRUE(fourth.waitForLine("180 Ringing", 10000ms)) << fourth.process.output();
    int app = open((dir + "/line").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(app, 0);
    EXPECT_TRUE(fourth.waitForLine("Call established", 10000ms)) << fourth.process.output();
    Bytes heard;
    auto until = std::chrono::steady_clock::now() + 10s;
    while (heard.size() < 1600 && std::chrono::steady_clock::now() < until) {
        pollfd p{app, POLLIN, 0};
        uint8_t buf[512];
        if (poll(&p, 1, 100) > 0) {
            ssize_t n = read(app, buf, sizeof buf);
            if (n > 0)
                heard.insert(heard.end(), buf, buf + n);
        }
    }
    EXPECT_GE(heard.size(), 1600u) << "the line did not deliver 200 ms of audio in 10 s";
    EXPECT_EQ(std::count(heard.begin(), heard.end(), 0xFF), static_cast<long>(heard.size()));
    close(app);
    EXPECT_TRUE(sipline.waitForLine("hanging up: the application let go of the line", 10000ms)) << sipline.output();
    EXPECT_TRUE(fourth.waitForLine("session closed", 10000ms)) << fourth.process.output();

    // A hang-up of the terminal it runs on stops sipline in order, the link
    // going with it.
    ASSERT_EQ(::kill(sipline.pid(), SIGHUP), 0);
    auto status = sipline.wait(10000ms);
    ASSERT_TRUE(status) << "sipline was ended by signal " << sipline.termSignal();
    EXPECT_EQ(*status, 0);
    struct stat link;
    EXPECT_NE(lstat((dir + "/line").c_str(), &link), 0) << "the link outlived sipline";
}

// callctl on the socket line (--line fd:N): it tapes what the far end says,
// unbroken, and when its keys run out it hangs up, which sends BYE.
TEST(SiplineCall, CallctlOnTheLineTapesTheFarEndAndHangsUp)
{
    SIPLINE_PRIVATE_NETWORK();
    kit::ScratchDir scratch;
    const std::string& dir = scratch.path();
    Bytes cycle;
    for (int k = 0; k < 256; k++)
        cycle.push_back(static_cast<uint8_t>((k * 73 + 5) & 0xFF));
    Bytes mic;
    for (int i = 0; i < 8000 * 15 / 256; i++)
        mic.insert(mic.end(), cycle.begin(), cycle.end());
    FarEnd far(farPort, linear(mic));
    ASSERT_TRUE(far.start("", 40));

    std::string callctl = "cd '" + dir + "' && printf 't....................' | exec /usr/bin/timeout 40 '" +
                          sim::programPath("callctl") + "' call --line fd:$SIPLINE_FD";
    sim::DaemonProcess sipline;
    ASSERT_TRUE(startSipline(sipline, {"--sip", "127.0.0.1:5060", "--rtp-ports", "20000-20099", "--jitter", jitter, "--exec", callctl,
                                       "call", farUri},
                             {}));
    auto status = sipline.wait(40000ms);
    ASSERT_TRUE(status) << sipline.output() << sipline.errors();
    EXPECT_EQ(*status, 0) << sipline.output() << sipline.errors();
    EXPECT_TRUE(contains(sipline, "hanging up: the application let go of the line")) << sipline.output();
    EXPECT_TRUE(far.waitForLine("session closed", 10000ms)) << far.process.output();

    Bytes tape = readFile(dir + "/call-in.ul");
    ASSERT_GT(tape.size(), 8000u * 2) << sipline.output();
    Bytes cycles;
    for (size_t i = 0; i < 8000 / 256 + 2; i++)
        cycles.insert(cycles.end(), cycle.begin(), cycle.end());
    // A machine busy enough may lose a packet, played as silence; a whole
    // second of the tape, starting at any frame, is the far end's audio.
    Bytes said = canonicalAll(cycles);
    bool found = false;
    for (size_t at = 0; !found && at + 8000 <= tape.size(); at += 160)
        found = find(said, canonicalAll(Bytes(tape.begin() + at, tape.begin() + at + 8000))) != std::string::npos;
    EXPECT_TRUE(found) << "no second of the " << tape.size() << "-byte ingoing tape is the far end's audio, unbroken";
}

namespace {

// Audio without DLE or the codes for zero: what a line end reads raw is
// then the audio itself.
Bytes plainPattern(uint8_t seed, size_t n)
{
    Bytes b;
    for (size_t k = 0; b.size() < n; k++) {
        uint8_t v = static_cast<uint8_t>((k * (33u + 4u * seed) + seed) & 0xFF);
        if (v != 0x10 && v != 0x7F && v != 0xFF)
            b.push_back(v);
    }
    return b;
}

} // namespace

// Several lines in one process: one SIP socket, a pool of RTP ports, each
// call routed to its line by the Request-URI's user, both at once.
TEST(SiplineServe, RoutesSimultaneousCallsByUser)
{
    SIPLINE_PRIVATE_NETWORK();
    kit::ScratchDir scratch;
    const std::string& dir = scratch.path();
    Bytes forA = plainPattern(1, 4000), forB = plainPattern(2, 4000);
    {
        std::ofstream config(dir + "/lines.conf");
        for (const char* name : {"a", "b"})
            config << name << " " << (name[0] == 'a' ? "100" : "200")
                   << " exec exec /usr/bin/timeout 6 bash -c 'echo \"$SIPLINE_CALLED\" > " << dir << "/" << name
                   << ".called; cat <&$SIPLINE_FD > " << dir << "/" << name << ".raw'\n";
    }
    sim::DaemonProcess sipline;
    ASSERT_TRUE(startSipline(sipline, {"--sip", "127.0.0.1:5060", "--rtp-ports", "20000-20099", "--jitter", jitter, "--calls", "2",
                                       "serve", "--config", dir + "/lines.conf"},
                             {}));
    ASSERT_TRUE(sipline.waitForLine("listening for SIP", 10000ms)) << sipline.errors();
    FarEnd toB(farPort, silence(4000) + linear(forB) + silence(8000 * 8));
    FarEnd toA(farPort + 2, silence(4000) + linear(forA) + silence(8000 * 8));
    ASSERT_TRUE(toB.start("sip:200@127.0.0.1:5060", 30));
    ASSERT_TRUE(toA.start("sip:100@127.0.0.1:5060", 30));
    auto status = sipline.wait(30000ms);
    ASSERT_TRUE(status) << sipline.output() << sipline.errors();
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(readFile(dir + "/a.called"), Bytes({'s', 'i', 'p', ':', '1', '0', '0', '@', '1', '2', '7', '.', '0', '.', '0',
                                                '.', '1', ':', '5', '0', '6', '0', '\n'}));
    EXPECT_NE(find(readFile(dir + "/a.raw"), forA), std::string::npos) << "line a did not get its caller's audio";
    EXPECT_NE(find(readFile(dir + "/b.raw"), forB), std::string::npos) << "line b did not get its caller's audio";
    EXPECT_EQ(find(readFile(dir + "/a.raw"), Bytes(forB.begin(), forB.begin() + 400)), std::string::npos);
}

// Registration with digest authentication at kamailio as the registrar,
// then a call to the registered user routed through it; the registration is
// taken back when sipline ends.
TEST(SiplineServe, RegistersWithDigestAuthAndTakesACallThroughTheRegistrar)
{
    SIPLINE_PRIVATE_NETWORK();
    KamailioScene scene;
    const std::string& dir = scene.dir;
    std::ofstream(dir + "/password") << "s3cret\n";
    std::ofstream(dir + "/wrong") << "guess\n";
    ASSERT_EQ(chmod((dir + "/password").c_str(), 0600), 0);
    ASSERT_EQ(chmod((dir + "/wrong").c_str(), 0644), 0);
    Bytes audio = plainPattern(3, 4000);
    sim::DaemonProcess* kamailio = scene.start(
        "kamailio.cfg", kamailioConfigWith({{"if (!save(\"location\")) sl_reply_error();",
                                             "if (!save(\"location\")) sl_reply_error();\n"
                                             "        xlog(\"L_ALERT\", \"registrar: $fU at $ct, Expires $hdr(Expires)\\n\");"}}));
    ASSERT_TRUE(kamailio);
    // A wrong password is refused and said so.
    sim::DaemonProcess refused;
    ASSERT_TRUE(startSipline(refused, {"--sip", "127.0.0.1:5064", "--register", "sip:127.0.0.1:5090", "--user", "100",
                                       "--auth-file", dir + "/wrong", "--from", "sip:100@127.0.0.1", "--link",
                                       dir + "/unused", "answer"},
                             {}, 20));
    EXPECT_TRUE(refused.waitForLine("registration with sip:127.0.0.1:5090", 15000ms)) << refused.output();
    EXPECT_FALSE(refused.waitForLine("registered with", 100ms));
    EXPECT_TRUE(contains(refused, "sipline: warning: --auth-file " + dir +
                                      "/wrong can be read by others (mode 0644); chmod 600 it"))
        << refused.errors();
    refused.kill(SIGTERM);

    sim::DaemonProcess sipline;
    ASSERT_TRUE(startSipline(sipline, {"--sip", "127.0.0.1:5060", "--rtp-ports", "20000-20099", "--jitter", jitter, "--calls", "1",
                                       "--register", "sip:127.0.0.1:5090", "--user", "100", "--auth-file",
                                       dir + "/password", "--from", "sip:100@127.0.0.1", "--exec",
                                       scene.lineCommand(5), "answer"},
                             {}));
    ASSERT_TRUE(sipline.waitForLine("registered with sip:127.0.0.1:5090", 15000ms))
        << sipline.output() << sipline.errors() << kamailio->errors();
    FarEnd far(farPort, silence(4000) + linear(audio) + silence(8000 * 6));
    ASSERT_TRUE(far.start("sip:100@127.0.0.1:5090", 30));
    auto status = sipline.wait(30000ms);
    ASSERT_TRUE(status) << sipline.output() << sipline.errors();
    EXPECT_EQ(*status, 0);
    EXPECT_FALSE(contains(sipline, "warning")) << sipline.errors();
    EXPECT_TRUE(contains(sipline, "incoming call from sip:far@127.0.0.1:5070 to sip:100@127.0.0.1:5060"))
        << sipline.output();
    EXPECT_NE(find(scene.line(), audio), std::string::npos) << "the routed call carried no audio";
    // Its registration ends with it: no call is routed to a line that is gone.
    EXPECT_TRUE(kamailio->waitForLine("registrar: 100 at <sip:100@127.0.0.1:5060>;expires=0", 5000ms))
        << kamailio->errors();
}

// A re-INVITE puts the call on hold and takes it off; --max-seconds then
// ends the call at both ends: BYE to the far end, DLE ETX to the daemon.
TEST(SiplineCall, HoldAndResumeThenTheTimeLimitEndsTheCall)
{
    SIPLINE_PRIVATE_NETWORK();
    Application app;
    app.sound.setPaced(true);
    app.sound.feed(Bytes(8000 * 20, 0xFF));
    sim::DaemonProcess sipline;
    ASSERT_TRUE(startSipline(sipline,
                             {"--sip", "127.0.0.1:5060", "--rtp-ports", "20000-20099", "--jitter", jitter, "--calls", "1",
                              "--max-seconds", "8", "--rtp-timeout", "2", "--exec", app.command(false), "answer"},
                             {app.sound.daemonFd()}));
    ASSERT_TRUE(sipline.waitForLine("listening for SIP", 10000ms)) << sipline.errors();
    FarEnd far(farPort, silence(8000 * 30));
    ASSERT_TRUE(far.start(siplineUri, 30));
    ASSERT_TRUE(app.seg.waitFor(app.cb().phoneUp, 1, 20000ms)) << sipline.output();
    ASSERT_TRUE(far.waitForLine("Call established", 10000ms));
    ASSERT_TRUE(far.command("hold"));
    EXPECT_TRUE(sipline.waitForLine("far end holds the call", 5000ms)) << sipline.output();
    // On hold the far end sends no RTP; for longer than --rtp-timeout that
    // is still no reason to end the call.
    EXPECT_FALSE(sipline.waitForLine("--rtp-timeout", 3000ms)) << sipline.output();
    ASSERT_TRUE(far.command("resume"));
    EXPECT_TRUE(sipline.waitForLine("far end resumes", 5000ms)) << sipline.output();

    auto status = sipline.wait(20000ms);
    ASSERT_TRUE(status) << sipline.output() << sipline.errors();
    EXPECT_EQ(*status, 0);
    EXPECT_TRUE(contains(sipline, "call ended: --max-seconds reached")) << sipline.output();
    EXPECT_TRUE(contains(sipline, "Orvex ttyI2Audio daemon: Dying"));
    EXPECT_TRUE(far.waitForLine("session closed", 10000ms)) << far.process.output();
}

// Lines spread over machines: kamailio dispatches incoming calls over two
// sipline instances (two ports stand in for two machines), round-robin,
// probing them with OPTIONS and taking a destination that does not answer
// 200 out of the turn.
TEST(SiplineServe, KamailioDispatchesCallsOverTwoInstances)
{
    SIPLINE_PRIVATE_NETWORK();
    KamailioScene scene;
    const std::string& dir = scene.dir;
    std::ofstream(dir + "/dispatcher.list") << "1 sip:127.0.0.1:5060\n1 sip:127.0.0.1:5062\n";
    for (int i : {0, 1})
        std::ofstream(dir + "/m" + std::to_string(i) + ".conf")
            << "--sip 127.0.0.1:" << 5060 + 2 * i << "\n--rtp-ports " << 20000 + 100 * i << "-" << 20099 + 100 * i
            << "\n"
            << "desk office exec " << lineToFile("/dev/null", 3) << "\n";
    sim::DaemonProcess* kamailio = scene.start(
        "kamailio.cfg",
        kamailioConfigWith({{"loadmodule \"kex.so\"",
                             "loadmodule \"kex.so\"\nloadmodule \"dispatcher.so\"\nmodparam(\"dispatcher\", \"list_file\", \"" +
                                 dir + "/dispatcher.list\")\n"
                                 "modparam(\"dispatcher\", \"ds_ping_interval\", 1)\n"
                                 "modparam(\"dispatcher\", \"ds_probing_mode\", 1)"},
                            // Calls for the office go to the instances in turn.
                            {"    if (is_method(\"INVITE\")) record_route();",
                             "    if (is_method(\"INVITE\")) record_route();\n"
                             "    if ($rU == \"office\") { if (!ds_select_dst(\"1\", \"4\")) { sl_send_reply(\"503\", \"No line\"); exit; } t_relay(); exit; }"}}));
    ASSERT_TRUE(kamailio);
    sim::DaemonProcess machine[2];
    for (int i : {0, 1}) {
        ASSERT_TRUE(startSipline(machine[i], {"--calls", "1", "--verbose", "serve", "--config",
                                              dir + "/m" + std::to_string(i) + ".conf"},
                                 {}));
        ASSERT_TRUE(machine[i].waitForLine("listening for SIP", 10000ms)) << machine[i].errors();
    }
    // Both have answered a probe: the calls below find them in the turn.
    for (int i : {0, 1}) {
        ASSERT_TRUE(machine[i].waitForLine("SIP/2.0 200 OK", 20000ms)) << machine[i].output();
        EXPECT_TRUE(contains(machine[i], ": OPTIONS sip:")) << machine[i].output();
    }
    FarEnd first(farPort, silence(8000 * 10));
    FarEnd second(farPort + 2, silence(8000 * 10));
    ASSERT_TRUE(first.start("sip:office@127.0.0.1:5090", 30));
    ASSERT_TRUE(first.waitForLine("Call established", 10000ms)) << first.process.output() << kamailio->errors();
    ASSERT_TRUE(second.start("sip:office@127.0.0.1:5090", 30));
    ASSERT_TRUE(second.waitForLine("Call established", 10000ms)) << second.process.output();
    // Each instance took one call and, its line's command done, exits.
    for (int i : {0, 1}) {
        auto status = machine[i].wait(20000ms);
        ASSERT_TRUE(status) << machine[i].output();
        EXPECT_EQ(*status, 0);
        EXPECT_TRUE(contains(machine[i], "sipline: desk: incoming call from sip:far@")) << machine[i].output();
    }
    EXPECT_TRUE(first.waitForLine("session closed", 10000ms));
    EXPECT_TRUE(second.waitForLine("session closed", 10000ms));
}

// Calls out through an outbound proxy: the INVITE and the BYE take the
// proxy's way, whatever the Request-URI names, and the call carries audio.
// The proxy asks the INVITE for credentials (407), as a trunk does, and
// loses the first BYE, as UDP may: sipline sends it again rather than
// leave the far end holding a call that is over.
TEST(SiplineCall, OutboundProxyAuthenticatesCarriesTheCallAndItsEnd)
{
    SIPLINE_PRIVATE_NETWORK();
    KamailioScene scene;
    sim::DaemonProcess* kamailio = scene.start(
        "kamailio.cfg",
        kamailioConfigWith({{"modparam(\"usrloc\", \"db_mode\", 0)",
                             "modparam(\"usrloc\", \"db_mode\", 0)\nmodparam(\"pv\", \"shvset\", \"byes=i:0\")"},
                            {"request_route {",
                             "request_route {\n    xlog(\"L_ALERT\", \"proxy: $rm $ru\\n\");\n"
                             "    if (is_method(\"BYE\") && $shv(byes) == 0) {\n"
                             "        $shv(byes) = 1; xlog(\"L_ALERT\", \"proxy: lost that BYE\\n\"); drop;\n"
                             "    }\n"
                             "    if (is_method(\"INVITE\") && !has_totag() && !pv_auth_check(\"$fd\", \"s3cret\", \"0\", \"1\")) {\n"
                             "        xlog(\"L_ALERT\", \"proxy: credentials asked of $fu\\n\"); proxy_challenge(\"$fd\", \"0\"); exit;\n"
                             "    }\n"
                             "    if (!has_totag() && $rp == \"5070\") { record_route(); t_relay(); exit; }"}}));
    ASSERT_TRUE(kamailio);
    std::ofstream(scene.dir + "/password") << "s3cret\n";
    ASSERT_EQ(chmod((scene.dir + "/password").c_str(), 0600), 0);
    Bytes audio = plainPattern(4, 4000);
    FarEnd far(farPort, silence(4000) + linear(audio) + silence(8000 * 8));
    ASSERT_TRUE(far.start("", 30));

    sim::DaemonProcess sipline;
    ASSERT_TRUE(startSipline(sipline, {"--sip", "127.0.0.1:5060", "--rtp-ports", "20000-20099", "--jitter", jitter,
                                       "--outbound-proxy", "sip:127.0.0.1:5090;lr", "--from", "sip:100@127.0.0.1",
                                       "--user", "100", "--auth-file", scene.dir + "/password", "--exec",
                                       scene.lineCommand(4), "call", farUri},
                             {}));
    auto status = sipline.wait(30000ms);
    ASSERT_TRUE(status) << sipline.output() << sipline.errors() << kamailio->errors();
    EXPECT_EQ(*status, 0) << sipline.output() << sipline.errors();
    EXPECT_TRUE(far.waitForLine("session closed", 10000ms)) << far.process.output();
    EXPECT_TRUE(kamailio->waitForLine("proxy: credentials asked of sip:100@127.0.0.1", 10000ms)) << kamailio->errors();
    EXPECT_TRUE(kamailio->waitForLine("proxy: INVITE " + farUri, 10000ms)) << kamailio->errors();
    EXPECT_TRUE(kamailio->waitForLine("proxy: BYE ", 10000ms)) << "the BYE went around the proxy: " << kamailio->errors();
    EXPECT_TRUE(kamailio->waitForLine("proxy: lost that BYE", 10000ms)) << kamailio->errors();
    std::string seen = kamailio->errors();
    size_t first = seen.find("proxy: BYE ");
    EXPECT_NE(seen.find("proxy: BYE ", first + 1), std::string::npos)
        << "sipline ended without sending the lost BYE again: " << seen;
    EXPECT_NE(find(scene.line(), audio), std::string::npos) << "the proxied call carried no audio";
    // The line's command was ended by its timeout: told, and no failure of
    // the call.
    EXPECT_NE(sipline.errors().find("sipline: line: the command ended with exit status 124\n"), std::string::npos)
        << sipline.errors();
}

// A call placed to a place that has moved (302) follows the move, and two
// places that send a call to each other do not hold it forever.
TEST(SiplineCall, ARedirectedCallFollowsTheMoveButNotALoop)
{
    SIPLINE_PRIVATE_NETWORK();
    KamailioScene scene;
    ASSERT_TRUE(scene.start(
        "kamailio.cfg",
        kamailioConfigWith({{"request_route {",
                             "request_route {\n"
                             "    if (is_method(\"INVITE\") && $rU == \"moved\") {\n"
                             "        append_to_reply(\"Contact: <sip:far@127.0.0.1:5070>\\r\\n\");\n"
                             "        sl_send_reply(\"302\", \"Moved Temporarily\"); exit;\n"
                             "    }\n"
                             "    if (is_method(\"INVITE\") && $rU == \"loop\") {\n"
                             "        append_to_reply(\"Contact: <sip:loop@127.0.0.1:5090>\\r\\n\");\n"
                             "        sl_send_reply(\"302\", \"Moved Temporarily\"); exit;\n"
                             "    }"}})));
    Bytes audio = plainPattern(7, 4000);
    FarEnd far(farPort, silence(4000) + linear(audio) + silence(8000 * 8));
    ASSERT_TRUE(far.start("", 30));

    sim::DaemonProcess looped;
    ASSERT_TRUE(startSipline(looped, {"--sip", "127.0.0.1:5060", "--rtp-ports", "20000-20099", "--exec", "cat",
                                      "call", "sip:loop@127.0.0.1:5090"},
                             {}));
    auto status = looped.wait(30000ms);
    ASSERT_TRUE(status) << looped.output() << looped.errors();
    EXPECT_EQ(*status, 1) << looped.output();
    EXPECT_TRUE(contains(looped, "call ended: far end replied 302 Moved Temporarily")) << looped.output();

    sim::DaemonProcess sipline;
    ASSERT_TRUE(startSipline(sipline, {"--sip", "127.0.0.1:5060", "--rtp-ports", "20000-20099", "--jitter", jitter,
                                       "--exec", scene.lineCommand(4), "call", "sip:moved@127.0.0.1:5090"},
                             {}));
    status = sipline.wait(30000ms);
    ASSERT_TRUE(status) << sipline.output() << sipline.errors();
    EXPECT_EQ(*status, 0) << sipline.output() << sipline.errors();
    EXPECT_TRUE(far.waitForLine("session closed", 10000ms)) << "the far end the call moved to never had it\n"
                                                            << far.process.output();
    EXPECT_NE(find(scene.line(), audio), std::string::npos) << "the redirected call carried no audio";
}

// A far end named rather than numbered is found through the system's
// resolver: here a DNS server on loopback, named in a resolv.conf of this
// test's own.
TEST(SiplineCall, ANamedFarEndIsFoundThroughTheResolver)
{
    SIPLINE_PRIVATE_NETWORK();
    kit::ScratchDir scratch;
    const std::string& dir = scratch.path();
    std::ofstream(dir + "/resolv.conf") << "nameserver 127.0.0.1\n";
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount((dir + "/resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "cannot give this test a resolv.conf of its own";
    sim::DaemonProcess dns;
    ASSERT_TRUE(dns.start("/usr/bin/timeout",
                          {"/usr/bin/timeout", "60", "dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts",
                           "--listen-address=127.0.0.1", "--bind-interfaces", "--port=53", "--user=root", "--pid-file",
                           "--log-queries", "--log-facility=-", "--address=/far.example/127.0.0.1"},
                          {}));
    ASSERT_TRUE(dns.waitForLine("started", 10000ms)) << dns.errors();
    Bytes audio = plainPattern(5, 4000);
    FarEnd far(farPort, silence(4000) + linear(audio) + silence(8000 * 8));
    ASSERT_TRUE(far.start("", 30));

    sim::DaemonProcess sipline;
    ASSERT_TRUE(startSipline(sipline, {"--sip", "127.0.0.1:5060", "--rtp-ports", "20000-20099", "--jitter", jitter,
                                       "--exec", lineToFile(dir + "/line.raw", 4), "call", "sip:far@far.example:5070"},
                             {}));
    auto status = sipline.wait(30000ms);
    ASSERT_TRUE(status) << sipline.output() << sipline.errors();
    EXPECT_EQ(*status, 0) << sipline.output() << sipline.errors();
    EXPECT_TRUE(dns.waitForLine("far.example", 1000ms)) << "sipline never asked the resolver: " << dns.output() << dns.errors();
    EXPECT_NE(find(readFile(dir + "/line.raw"), audio), std::string::npos) << "the call by name carried no audio";
}

// The site's kamailio registers upstream to a trunk (uac_reg; a second
// kamailio stands in for the provider, with digest authentication) and
// hands the calls the trunk sends it to a sipline.
TEST(SiplineServe, TheSiteRegistersUpstreamToATrunkAndTakesItsCalls)
{
    SIPLINE_PRIVATE_NETWORK();
    KamailioScene scene;
    const std::string& dir = scene.dir;
    mkdir((dir + "/db").c_str(), 0700);
    std::ofstream(dir + "/db/version") << "table_name(string) table_version(int) \nuacreg:5\n";
    std::ofstream(dir + "/db/uacreg")
        << "id(int,auto) l_uuid(string) l_username(string) l_domain(string) r_username(string) r_domain(string) "
           "realm(string) auth_username(string) auth_password(string) auth_ha1(string,null) auth_proxy(string) "
           "expires(int) flags(int) reg_delay(int) contact_addr(string,null) socket(string,null) \n"
           "1:office1:office:127.0.0.1:office:127.0.0.1:127.0.0.1:office:trunkpw::sip\\:127.0.0.1\\:5094:60:0:0::\n";
    sim::DaemonProcess* trunk = scene.start(
        "trunk.cfg",
        kamailioConfigWith({{"udp:127.0.0.1:5090", "udp:127.0.0.1:5094"},
                            {"\"s3cret\"", "\"trunkpw\""},
                            {"request_route {", "request_route {\n    xlog(\"L_ALERT\", \"trunk: $rm $ru\\n\");"},
                            {"if (!save(\"location\")) sl_reply_error();",
                             "if (!save(\"location\")) sl_reply_error(); else xlog(\"L_ALERT\", \"trunk: registered $tU\\n\");"}}));
    ASSERT_TRUE(trunk);
    sim::DaemonProcess* site = scene.start(
        "site.cfg",
        kamailioConfigWith({{"loadmodule \"kex.so\"",
                             "loadmodule \"kex.so\"\nloadmodule \"db_text.so\"\nloadmodule \"uac.so\"\n"
                             "modparam(\"uac\", \"reg_db_url\", \"text://" + dir + "/db\")\n"
                             "modparam(\"uac\", \"reg_contact_addr\", \"127.0.0.1:5090\")\n"
                             "modparam(\"uac\", \"reg_timer_interval\", 1)"},
                            // What the trunk sends to the site's registered contact goes to the line.
                            {"    if (is_method(\"INVITE\")) record_route();",
                             "    if (is_method(\"INVITE\")) record_route();\n"
                             "    if ($rU == \"office1\") { $du = \"sip:127.0.0.1:5060\"; t_relay(); exit; }"}}));
    ASSERT_TRUE(site);
    Bytes audio = plainPattern(6, 4000);
    sim::DaemonProcess sipline;
    ASSERT_TRUE(startSipline(sipline, {"--sip", "127.0.0.1:5060", "--rtp-ports", "20000-20099", "--jitter", jitter,
                                       "--calls", "1", "--exec",
                                       scene.lineCommand(5, "echo \"$SIPLINE_CALLED\" > " + dir + "/called"), "answer"},
                             {}));
    ASSERT_TRUE(sipline.waitForLine("listening for SIP", 10000ms)) << sipline.errors();
    // The site's account is at the trunk once a REGISTER got through with
    // its credentials; a call to the account then reaches the line.
    ASSERT_TRUE(trunk->waitForLine("trunk: registered office", 20000ms)) << trunk->errors() << site->errors();
    FarEnd far(farPort, silence(4000) + linear(audio) + silence(8000 * 8));
    ASSERT_TRUE(far.start("sip:office@127.0.0.1:5094", 30));
    auto status = sipline.wait(30000ms);
    ASSERT_TRUE(status) << sipline.output() << sipline.errors() << trunk->errors() << site->errors();
    EXPECT_EQ(*status, 0);
    EXPECT_TRUE(trunk->waitForLine("trunk: INVITE sip:office@127.0.0.1:5094", 1000ms)) << trunk->errors();
    std::string called = "sip:office1@127.0.0.1:5090\n";
    EXPECT_EQ(readFile(dir + "/called"), Bytes(called.begin(), called.end()));
    EXPECT_NE(find(scene.line(), audio), std::string::npos) << "the trunk's call carried no audio";
}

// A call the far end refuses (no codec in common) fails: exit status 1.
TEST(SiplineCall, ARefusedCallFails)
{
    SIPLINE_PRIVATE_NETWORK();
    FarEnd far(farPort, silence(8000 * 20), "G722/16000/1");
    ASSERT_TRUE(far.start("", 30));
    sim::DaemonProcess sipline;
    ASSERT_TRUE(startSipline(sipline, {"--sip", "127.0.0.1:5060", "--exec", "cat", "call", farUri}, {}));
    auto status = sipline.wait(20000ms);
    ASSERT_TRUE(status) << sipline.output();
    EXPECT_EQ(*status, 1);
    EXPECT_TRUE(contains(sipline, "call ended: far end replied 488")) << sipline.output();
}

// Anyone on the network can send to a call's RTP port.  A stranger's audio
// and keys, sent all through a call, are never heard: the line carries the
// far end's audio unbroken, and sipline says what it refused.
TEST(SiplineCall, AStrangersRtpIsNotHeard)
{
    SIPLINE_PRIVATE_NETWORK();
    kit::ScratchDir scratch;
    const std::string& dir = scratch.path();
    Bytes audio = plainPattern(6, 8000 * 2);
    sim::DaemonProcess sipline;
    ASSERT_TRUE(startSipline(sipline, {"--sip", "127.0.0.1:5060", "--rtp-ports", "20000-20099", "--jitter", jitter,
                                       "--calls", "1", "--exec", lineToFile(dir + "/line.raw", 8), "answer"},
                             {}));
    ASSERT_TRUE(sipline.waitForLine("listening for SIP", 10000ms)) << sipline.errors();
    FarEnd far(farPort, silence(8000) + linear(audio) + silence(8000 * 2));
    ASSERT_TRUE(far.start(siplineUri, 30));
    // Until the far end is heard, the first sender is taken for a far end
    // behind a NAT: the stranger starts once the far end's voice is on the
    // line.
    const Bytes start(audio.begin(), audio.begin() + 800);
    ASSERT_TRUE(waitUntil([&] { return find(readFile(dir + "/line.raw"), start) != std::string::npos; }, 30000ms))
        << sipline.output() << sipline.errors();

    // The stranger sends µ-law 0x7F (which the far end's audio never holds)
    // and the key 9, as a stream of its own, to every RTP port of the pool.
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sock, 0);
    std::atomic<bool> sending{true};
    std::thread stranger([&] {
        uint8_t packet[12 + 160];
        for (uint32_t n = 0; sending; n++) {
            bool key = n % 5 == 4;
            packet[0] = 0x80;
            packet[1] = key ? 101 : 0;
            packet[2] = static_cast<uint8_t>(n >> 8);
            packet[3] = static_cast<uint8_t>(n);
            uint32_t ts = n * 160, ssrc = 0x57A5A5A5;
            for (int i = 0; i < 4; i++) {
                packet[4 + i] = static_cast<uint8_t>(ts >> (24 - 8 * i));
                packet[8 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
            }
            std::fill(packet + 12, packet + sizeof packet, 0x7F);
            const uint8_t event[4] = {9, 0x80 | 10, 0x03, 0x20}; // key 9, ended, 100 ms
            if (key)
                std::copy(event, event + 4, packet + 12);
            size_t size = key ? 16 : sizeof packet;
            for (uint16_t port = 20000; port < 20100; port += 2) {
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_port = htons(port);
                to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                sendto(sock, packet, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            }
            std::this_thread::sleep_for(20ms);
        }
    });
    auto status = sipline.wait(30000ms);
    sending = false;
    stranger.join();
    close(sock);
    ASSERT_TRUE(status) << sipline.output() << sipline.errors();
    EXPECT_EQ(*status, 0);
    Bytes line = readFile(dir + "/line.raw");
    EXPECT_NE(find(line, audio), std::string::npos) << "the far end's audio did not reach the line unbroken";
    EXPECT_EQ(std::count(line.begin(), line.end(), 0x7F), 0) << "the stranger's audio reached the line";
    const Bytes keyNine{0x10, '9'};
    EXPECT_EQ(std::search(line.begin(), line.end(), keyNine.begin(), keyNine.end()), line.end())
        << "the stranger's key reached the line";
    EXPECT_FALSE(contains(sipline, "touchtone '9'")) << sipline.output();
    EXPECT_TRUE(contains(sipline, "RTP packets from others than the far end")) << sipline.output();
}

// A command that lets go of the line ends the call, and may still have work
// to do after it (callctl prints its summary, writes its WAV): sipline waits
// for it and leaves it unsignalled.  A hang-up signal is for a command that
// still holds a line that has gone.
TEST(SiplineCall, ACommandThatLetGoOfTheLineFinishesBeforeSiplineEnds)
{
    SIPLINE_PRIVATE_NETWORK();
    kit::ScratchDir scratch;
    const std::string& dir = scratch.path();
    FarEnd far(farPort, silence(8000 * 20));
    ASSERT_TRUE(far.start("", 30));
    // perl, as sh cannot close a descriptor above 9.
    std::ofstream(dir + "/app.pl") << "use POSIX;\n"
                                      "$SIG{HUP} = sub { open(my $s, '>>', '" << dir << "/signals'); print $s \"HUP\\n\"; };\n"
                                      "sleep 1; POSIX::close($ENV{SIPLINE_FD});\n"
                                      "sleep 1; open(my $f, '>', '" << dir << "/finished'); print $f \"done\\n\";\n";
    std::string command = "exec perl " + dir + "/app.pl";
    sim::DaemonProcess sipline;
    ASSERT_TRUE(startSipline(sipline, {"--sip", "127.0.0.1:5060", "--rtp-ports", "20000-20099", "--exec", command, "call", farUri},
                             {}, 30));
    auto status = sipline.wait(25000ms);
    ASSERT_TRUE(status) << sipline.output() << sipline.errors();
    EXPECT_EQ(*status, 0);
    EXPECT_TRUE(contains(sipline, "hanging up: the application let go of the line")) << sipline.output();
    EXPECT_EQ(readFile(dir + "/finished"), Bytes({'d', 'o', 'n', 'e', '\n'}))
        << "sipline ended before its command\n" << sipline.output() << sipline.errors();
    EXPECT_TRUE(readFile(dir + "/signals").empty()) << "the command was signalled after it let go of the line";
}

// sipline stopped by a signal (systemd stopping the service) ends what it
// has in hand: a call in progress gets its BYE, and a command still holding
// a line whose far end has already gone hears that the line is gone.  Each
// time the call's figures are said before sipline exits.  Stop signals that
// come in a burst (timeout(1) signals its child, then its whole group) are
// all taken: none may find sipline without its handler and kill it.
TEST(SiplineCall, AStopSignalHangsUpTheCallAndTellsTheCommandThatHoldsTheLine)
{
    SIPLINE_PRIVATE_NETWORK();
    kit::ScratchDir scratch;
    const std::string& dir = scratch.path();
    // A command that holds the line and never reads it; a hang-up ends it.
    std::ofstream(dir + "/app.pl") << "$SIG{HUP} = sub { open(my $s, '>>', '" << dir << "/signals'); print $s \"HUP\\n\"; exit 0; };\n"
                                      "open(my $r, '>', '" << dir << "/ready'); close($r);\n"
                                      "sleep 60;\n";
    std::string command = "exec perl " + dir + "/app.pl";

    for (bool farGoneFirst : {false, true}) {
        SCOPED_TRACE(farGoneFirst ? "the far end hung up first, one signal" : "the call in progress, a burst of signals");
        unlink((dir + "/signals").c_str());
        unlink((dir + "/ready").c_str());
        // A far end whose file ends after 2 s hangs up; one with 30 s stays.
        FarEnd far(farPort, silence(8000 * (farGoneFirst ? 2 : 30)));
        ASSERT_TRUE(far.start("", 40));
        sim::DaemonProcess sipline;
        ASSERT_TRUE(startSipline(sipline, {"--sip", "127.0.0.1:5060", "--rtp-ports", "20000-20099", "--exec", command, "call", farUri},
                                 {}, 40));
        ASSERT_TRUE(sipline.waitForLine("far end answered", 15000ms)) << sipline.output() << sipline.errors();
        if (farGoneFirst) {
            ASSERT_TRUE(sipline.waitForLine("call ended: far end hung up", 15000ms)) << sipline.output();
        }
        // The command listens for its hang-up before sipline is stopped.
        ASSERT_TRUE(waitUntil([&] { return access((dir + "/ready").c_str(), F_OK) == 0; }, 15000ms))
            << "the command never started";
        // To sipline alone: timeout would pass it on to the command too.
        pid_t siplinePid = childOf(sipline.pid());
        ASSERT_GT(siplinePid, 0);
        ASSERT_EQ(::kill(siplinePid, SIGTERM), 0);
        if (!farGoneFirst) {
            auto burst = std::chrono::steady_clock::now() + 2s;
            while (::kill(siplinePid, SIGTERM) == 0 && std::chrono::steady_clock::now() < burst) {
            }
        }
        auto status = sipline.wait(15000ms);
        ASSERT_TRUE(status) << "sipline did not end on SIGTERM\n" << sipline.output() << sipline.errors();
        EXPECT_EQ(*status, 0);
        EXPECT_TRUE(contains(sipline, "sipline: line: hanging up: signal")) << sipline.output();
        EXPECT_TRUE(contains(sipline, "sipline: line: call figures: ")) << sipline.output();
        if (!farGoneFirst) {
            EXPECT_TRUE(far.waitForLine("session closed", 10000ms)) << far.process.output();
        }
        EXPECT_EQ(readFile(dir + "/signals"), Bytes({'H', 'U', 'P', '\n'}))
            << "the command holding the line was not told it had gone\n" << sipline.output() << sipline.errors();
    }
}

namespace {

// A request of the SIPp far end in the test below: an INVITE without a
// description, the ACK that answers the offer it got back with PCMU, an
// INFO that presses 5, or a plain BYE.  Only the first INVITE is outside
// the dialog.
std::string sippRequest(const std::string& method, int cseq)
{
    bool first = method == "INVITE" && cseq == 1;
    std::string text = "  <send" + std::string(method == "ACK" ? "" : " retrans=\"500\"") + "><![CDATA[\n\n";
    text += "      " + method + (first ? " sip:line@[remote_ip]:[remote_port]" : " [next_url]") + " SIP/2.0\n";
    text += "      Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
            "      From: <sip:late@[local_ip]:[local_port]>;tag=[pid]SIPpTag00[call_number]\n";
    text += first ? "      To: <sip:line@[remote_ip]:[remote_port]>\n" : "      [last_To:]\n";
    text += "      Call-ID: [call_id]\n"
            "      CSeq: " + std::to_string(cseq) + " " + method + "\n"
            "      Contact: <sip:late@[local_ip]:[local_port]>\n"
            "      Max-Forwards: 70\n";
    if (method == "ACK")
        text += "      Content-Type: application/sdp\n"
                "      Content-Length: [len]\n\n"
                "      v=0\n"
                "      o=late 1 " + std::to_string(cseq) + " IN IP[local_ip_type] [local_ip]\n"
                "      s=-\n"
                "      c=IN IP[media_ip_type] [media_ip]\n"
                "      t=0 0\n"
                "      m=audio [media_port] RTP/AVP 0\n"
                "      a=rtpmap:0 PCMU/8000\n";
    else if (method == "INFO")
        text += "      Content-Type: application/dtmf-relay\n"
                "      Content-Length: [len]\n\n"
                "      Signal=5\n"
                "      Duration=160\n";
    else
        text += "      Content-Length: 0\n";
    return text + "\n  ]]></send>\n";
}

// The far end waits for the 200 to its INVITE, which must offer PCMU.
std::string sippAwaitsOffer(bool first)
{
    return std::string("  <recv response=\"100\" optional=\"true\"/>\n") +
           (first ? "  <recv response=\"180\" optional=\"true\"/>\n" : "") + "  <recv response=\"200\"" +
           (first ? " rrs=\"true\"" : "") +
           ">\n"
           "    <action>\n"
           "      <ereg regexp=\"m=audio [0-9]+ RTP/AVP( [0-9]+)* 0\" search_in=\"body\" check_it=\"true\" "
           "assign_to=\"offer\"/>\n"
           "    </action>\n"
           "  </recv>\n";
}

} // namespace

// An INVITE without a description (the far end waits for our offer) is
// answered with sipline's offer, and the far end's answer comes with its
// ACK; so is a re-INVITE without one, in the middle of what the line says.
// A key the far end sends as SIP INFO reaches the line as DLE + key.
// SIPp plays that far end, as baresip always offers; it echoes the RTP it
// gets, so what the line said comes back to it, unbroken.
TEST(SiplineCall, InvitesWithoutAnOfferGetOursAndInfoKeysReachTheLine)
{
    SIPLINE_PRIVATE_NETWORK();
    kit::ScratchDir scratch;
    const std::string& dir = scratch.path();
    Bytes said = plainPattern(5, 8000);
    writeFile(dir + "/said.ul", said);
    std::ofstream(dir + "/app.sh") << "cat " << dir << "/said.ul >&$SIPLINE_FD &\n"
                                   << "exec timeout 6 cat <&$SIPLINE_FD > " << dir << "/heard.raw\n";
    std::ofstream(dir + "/late.xml") << "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n"
                                     << "<scenario name=\"INVITEs without an offer\">\n"
                                     << "  <Global variables=\"offer\"/>\n"
                                     << sippRequest("INVITE", 1) << sippAwaitsOffer(true) << sippRequest("ACK", 1)
                                     << "  <pause milliseconds=\"700\"/>\n"
                                     << sippRequest("INVITE", 2) << sippAwaitsOffer(false) << sippRequest("ACK", 2)
                                     << "  <pause milliseconds=\"300\"/>\n"
                                     << sippRequest("INFO", 3) << "  <recv response=\"200\"/>\n"
                                     << "  <pause milliseconds=\"2000\"/>\n"
                                     << sippRequest("BYE", 4) << "  <recv response=\"200\" crlf=\"true\"/>\n"
                                     << "</scenario>\n";
    sim::DaemonProcess sipline;
    ASSERT_TRUE(startSipline(sipline, {"--sip", "127.0.0.1:5060", "--rtp-ports", "20000-20099", "--jitter", jitter,
                                       "--calls", "1", "--exec", "exec bash " + dir + "/app.sh", "answer"},
                             {}, 30));
    ASSERT_TRUE(sipline.waitForLine("listening for SIP", 10000ms)) << sipline.errors();
    sim::DaemonProcess sipp;
    ASSERT_TRUE(sipp.start("/usr/bin/timeout",
                           {"/usr/bin/timeout", "25", "sipp", "-sf", dir + "/late.xml", "-m", "1", "-i", "127.0.0.1",
                            "-p", std::to_string(farPort), "-mp", "6000", "-rtp_echo", "-nostdin", "127.0.0.1:5060"},
                           {}));
    auto farStatus = sipp.wait(30000ms);
    ASSERT_TRUE(farStatus) << sipp.output() << sipp.errors();
    EXPECT_EQ(*farStatus, 0) << "the far end's scenario failed:\n" << sipp.output() << sipline.output();
    auto status = sipline.wait(20000ms);
    ASSERT_TRUE(status) << sipline.output() << sipline.errors();
    EXPECT_EQ(*status, 0);
    EXPECT_TRUE(contains(sipline, "call ended: far end hung up")) << sipline.output();
    Bytes heard = readFile(dir + "/heard.raw");
    // The key falls wherever the line was when it came, perhaps inside
    // the echo: it is taken out before the echo is looked for.
    size_t key = find(heard, Bytes{0x10, '5'});
    ASSERT_NE(key, std::string::npos) << "the INFO's key is not on the line";
    heard.erase(heard.begin() + static_cast<long>(key), heard.begin() + static_cast<long>(key) + 2);
    EXPECT_NE(find(heard, said), std::string::npos)
        << "what the line said did not come back from the far end\n" << sipline.output();
    EXPECT_TRUE(contains(sipline, "touchtone '5' from the far end (INFO)")) << sipline.output();
}
