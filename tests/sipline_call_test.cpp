// Real calls through sipline: baresip at the far end, voicephone-daemon on
// the line, each test in its own loopback-only network namespace.
#include "sipline_harness.h"

extern "C" {
#include <spandsp.h>
}

using namespace siptest;

namespace {

constexpr uint16_t siplinePort = 5060;
constexpr uint16_t farPort = 5070;
const std::string siplineUri = "sip:line@127.0.0.1:5060";
const std::string farUri = "sip:far@127.0.0.1:5070";

std::vector<int16_t> silence(size_t n)
{
    return std::vector<int16_t>(n, 0);
}

std::vector<int16_t> operator+(std::vector<int16_t> a, const std::vector<int16_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes canonicalAll(Bytes b)
{
    for (auto& u : b)
        u = canonical(u);
    return b;
}

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
    app.sound.feed(Bytes(8000, 0xFF));
    app.sound.feed(toFar);
    app.sound.feed(Bytes(8000 * 5, 0xFF));

    sim::DaemonProcess sipline;
    ASSERT_TRUE(startSipline(sipline,
                             {"--sip", "127.0.0.1:5060", "--rtp-ports", "20000-20099", "--calls", "1", "--exec",
                              app.command(false), "answer"},
                             {app.sound.daemonFd()}));
    ASSERT_TRUE(sipline.waitForLine("listening for SIP", 10000ms)) << sipline.errors();

    FarEnd far(farPort, silence(8000) + linear(fromFar) + silence(8000 * 3));
    ASSERT_TRUE(far.start(siplineUri, 30));
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
    far.process.wait(20000ms);
    auto heard = far.heard();
    EXPECT_NE(find(heard, linearAsHeard(toFar)), std::string::npos)
        << "the daemon's audio did not reach the far end whole; heard " << heard.size() << " samples";
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
                             {"--sip", "127.0.0.1:5060", "--rtp-ports", "20000-20099", "--exec", app.command(true),
                              "--pty", "call", farUri},
                             {app.sound.daemonFd()}));
    ASSERT_TRUE(app.seg.waitFor(app.cb().phoneUp, 1, 20000ms)) << sipline.output() << sipline.errors();

    ASSERT_TRUE(far.command("sndcode", "*2468#"));
    ASSERT_TRUE(app.seg.waitFor(app.cb().codeComplete, 1, 20000ms)) << sipline.output();
    EXPECT_STREQ(app.cb().remoteCode, "2468");
    for (char key : std::string("*2468#"))
        EXPECT_TRUE(contains(sipline, std::string("Touchtone '") + key + "'")) << key;

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
    EXPECT_STREQ(keys, "5");
}
