#include "playout.h"

#include <gtest/gtest.h>

#include "framing.h"
#include "telephone_event.h"

using namespace sipline;

namespace {

// Audio whose sample at timestamp t is a function of t, never DLE or
// silence, so any shift or loss shows.
std::vector<uint8_t> audioAt(uint32_t ts, size_t count)
{
    std::vector<uint8_t> v(count);
    for (size_t i = 0; i < count; i++)
        v[i] = static_cast<uint8_t>(0x20 + static_cast<uint32_t>(ts + i) % 0x50);
    return v;
}

// Plays n frames and undoes the framing: audio bytes and the codes seen.
struct Played {
    std::vector<uint8_t> audio;
    std::string keys;
};
Played play(Playout& p, int frames)
{
    std::vector<uint8_t> line;
    for (int i = 0; i < frames; i++)
        p.takeFrame(line);
    Played out;
    for (size_t i = 0; i < line.size(); i++) {
        if (line[i] == DLE) {
            if (line[i + 1] == DLE)
                out.audio.push_back(DLE);
            else
                out.keys.push_back(static_cast<char>(line[i + 1]));
            i++;
        } else {
            out.audio.push_back(line[i]);
        }
    }
    return out;
}

constexpr uint32_t ssrc = 0x1234;
constexpr uint32_t t0 = 0xFFFFFF00; // wraps during the tests

} // namespace

TEST(Playout, SilenceBeforeTheFirstPacketThenAudioAfterTheStartDelay)
{
    Playout p(320, 1600);
    EXPECT_EQ(play(p, 2).audio, std::vector<uint8_t>(320, 0xFF));
    for (uint32_t k = 0; k < 10; k++)
        p.put(ssrc, t0 + 160 * k, audioAt(t0 + 160 * k, 160));
    Played out = play(p, 10);
    ASSERT_EQ(out.audio.size(), 1600u);
    // 40 ms of silence, then the stream from its first sample on.
    EXPECT_EQ(std::vector<uint8_t>(out.audio.begin(), out.audio.begin() + 320), std::vector<uint8_t>(320, 0xFF));
    EXPECT_EQ(std::vector<uint8_t>(out.audio.begin() + 320, out.audio.end()), audioAt(t0, 1280));
}

TEST(Playout, ReorderedDuplicatedAndOddSizedPacketsPlayInPlace)
{
    Playout p(320, 1600);
    // 30 ms packets (240 samples) and one of 10 ms, arriving out of order,
    // some twice.
    std::vector<std::pair<uint32_t, size_t>> packets = {
        {0, 240}, {480, 240}, {240, 240}, {240, 240}, {720, 80}, {800, 240}, {480, 240}, {1040, 240},
    };
    for (auto [off, n] : packets)
        p.put(ssrc, t0 + off, audioAt(t0 + off, n));
    Played out = play(p, 10);
    std::vector<uint8_t> want(320, 0xFF);
    auto stream = audioAt(t0, 1280);
    want.insert(want.end(), stream.begin(), stream.end());
    EXPECT_EQ(out.audio, want);
    EXPECT_EQ(p.lateSamples(), 0u);
}

TEST(Playout, LostPacketsPlayAsSilenceWithoutShiftingTheRest)
{
    Playout p(320, 1600);
    for (uint32_t k = 0; k < 8; k++)
        if (k != 3 && k != 4)
            p.put(ssrc, t0 + 160 * k, audioAt(t0 + 160 * k, 160));
    Played out = play(p, 10);
    auto want = audioAt(t0, 1280);
    std::fill(want.begin() + 480, want.begin() + 800, 0xFF);
    EXPECT_EQ(std::vector<uint8_t>(out.audio.begin() + 320, out.audio.end()), want);
    // 320 missing in the gap; the start delay is not missing.
    EXPECT_EQ(p.missingSamples(), 320u);
}

TEST(Playout, DelayGrowsOnLatePacketsUpToTheCap)
{
    Playout p(320, 640);
    p.put(ssrc, t0, audioAt(t0, 160));
    play(p, 4); // played through t0 + 320: the packet at 160 is now 160 late
    p.put(ssrc, t0 + 160, audioAt(t0 + 160, 160));
    EXPECT_EQ(p.delay(), 480u);
    EXPECT_EQ(p.lateSamples(), 160u);
    // The growth is played once as silence before the timeline resumes.
    p.put(ssrc, t0 + 320, audioAt(t0 + 320, 160));
    Played out = play(p, 2);
    EXPECT_EQ(std::vector<uint8_t>(out.audio.begin(), out.audio.begin() + 160), std::vector<uint8_t>(160, 0xFF));
    EXPECT_EQ(std::vector<uint8_t>(out.audio.begin() + 160, out.audio.end()), audioAt(t0 + 320, 160));
    // Much later still: capped.
    play(p, 20);
    p.put(ssrc, t0 + 480, audioAt(t0 + 480, 160));
    EXPECT_EQ(p.delay(), 640u);
}

// A call that ends now still owes the application what has arrived: the
// start delay and whatever came early.
TEST(Playout, WhatIsBufferedIsWhatArrivedAndNotYetPlayed)
{
    Playout p(320, 1600);
    EXPECT_EQ(p.buffered(), 0u);
    p.put(7, 1000, audioAt(1000, 160));
    p.put(7, 1160, audioAt(1160, 160));
    EXPECT_EQ(p.buffered(), 320u + 320u);
    play(p, 1);
    EXPECT_EQ(p.buffered(), 480u);
    // Played until nothing is buffered, the newest sample is the last played.
    Played rest = play(p, static_cast<int>(p.buffered() / frameSamples));
    EXPECT_EQ(p.buffered(), 0u);
    ASSERT_EQ(rest.audio.size(), 480u);
    std::vector<uint8_t> tail(rest.audio.end() - 160, rest.audio.end());
    EXPECT_EQ(tail, audioAt(1160, 160));
    // An old packet arriving now changes nothing owed.
    p.put(7, 1000, audioAt(1000, 160));
    EXPECT_EQ(p.buffered(), 0u);
}

TEST(Playout, NewSourceStartsANewTimeline)
{
    Playout p(320, 1600);
    p.put(ssrc, t0, audioAt(t0, 160));
    play(p, 3);
    p.put(ssrc + 1, 5000, audioAt(5000, 160));
    EXPECT_EQ(p.resyncs(), 1u);
    Played out = play(p, 3);
    EXPECT_EQ(std::vector<uint8_t>(out.audio.begin() + 320, out.audio.end()), audioAt(5000, 160));
}

TEST(Playout, DleInAudioIsDoubledOnTheLine)
{
    Playout p(0, 0);
    std::vector<uint8_t> audio(160, 0x55);
    audio[7] = DLE;
    p.put(ssrc, 100, audio);
    std::vector<uint8_t> line;
    p.takeFrame(line);
    ASSERT_EQ(line.size(), 161u);
    EXPECT_EQ(line[7], DLE);
    EXPECT_EQ(line[8], DLE);
    EXPECT_EQ(line[9], 0x55);
}

// Frames whole and frames with a gap or a key take different paths; a
// long stream, every byte value in it, laps the ring twice through both.
TEST(Playout, ALongStreamWithGapsAndKeysPlaysExactlyAcrossTheRing)
{
    Playout p(320, 1600);
    constexpr uint32_t frames = 250;
    auto byteAt = [](uint32_t i) { return static_cast<uint8_t>(i * 7 % 256); };
    std::vector<uint8_t> want(320, 0xFF);
    std::string wantKeys;
    Played got;
    for (uint32_t k = 0; k < frames + 2; k++) {
        if (k < frames) {
            std::vector<uint8_t> packet(160);
            for (uint32_t i = 0; i < 160; i++)
                packet[i] = byteAt(160 * k + i);
            bool lost = k % 7 == 3;
            if (!lost)
                p.put(ssrc, t0 + 160 * k, packet);
            if (lost)
                std::fill(packet.begin(), packet.end(), 0xFF);
            want.insert(want.end(), packet.begin(), packet.end());
            if (k % 50 == 10) {
                p.putKey(ssrc, t0 + 160 * k + 33, static_cast<uint8_t>('0' + k / 50));
                wantKeys.push_back(static_cast<char>('0' + k / 50));
            }
        }
        Played frame = play(p, 1);
        got.audio.insert(got.audio.end(), frame.audio.begin(), frame.audio.end());
        got.keys += frame.keys;
    }
    EXPECT_EQ(got.audio, want);
    EXPECT_EQ(got.keys, wantKeys);
    EXPECT_EQ(p.missingSamples(), 160u * ((frames + 3) / 7));
}

namespace {

struct EventPacket {
    uint32_t ts;
    uint8_t event;
    bool end;
    uint16_t duration;
};

// Key presses through the dedup and the playout buffer, as the line sees them.
std::string keysFor(const std::vector<EventPacket>& packets)
{
    Playout p(320, 1600);
    KeyPresses presses;
    std::string keys;
    for (const auto& pk : packets) {
        TelephoneEvent ev{pk.event, pk.end, 10, pk.duration};
        if (auto key = presses.onPacket(ssrc, pk.ts, ev))
            p.putKey(ssrc, pk.ts, *key);
    }
    keys += play(p, 100).keys;
    return keys;
}

// One press: a start, updates, three ends (as senders repeat them).
std::vector<EventPacket> press(uint32_t ts, uint8_t event)
{
    return {{ts, event, false, 160}, {ts, event, false, 320}, {ts, event, false, 480},
            {ts, event, true, 640},  {ts, event, true, 640},  {ts, event, true, 640}};
}

} // namespace

TEST(KeyPresses, OnePerPressWithLostStartsAndRepeatedEnds)
{
    std::vector<EventPacket> s;
    auto a = press(1000, 1);
    auto b = press(2000, 2);
    s.insert(s.end(), a.begin() + 2, a.end()); // start and first update lost
    s.insert(s.end(), b.begin() + 3, b.end()); // only the ends arrive
    EXPECT_EQ(keysFor(s), "12");
}

TEST(KeyPresses, ReorderedStreamKeepsThePressOrder)
{
    // 1234*#0, each press 80 ms long and 100 ms apart; packets are delivered
    // with neighbours swapped and some late packets of each press arriving
    // after the next press has begun.  A receiver keyed on "the event
    // changed" reports this as 123234*#*#0.
    const uint8_t events[] = {1, 2, 3, 4, 10, 11, 0};
    std::vector<EventPacket> inOrder;
    for (size_t i = 0; i < 7; i++) {
        auto p = press(static_cast<uint32_t>(t0 + 800 * i), events[i]);
        inOrder.insert(inOrder.end(), p.begin(), p.end());
    }
    std::vector<EventPacket> shuffled = inOrder;
    for (size_t i = 0; i + 7 < shuffled.size(); i += 3)
        std::swap(shuffled[i + 2], shuffled[i + 7]);
    EXPECT_EQ(keysFor(shuffled), "1234*#0");
    // A press whose packets all arrive after the next press's.
    std::vector<EventPacket> late;
    auto p3 = press(t0 + 1600, 3);
    auto p4 = press(t0 + 2400, 4);
    late.insert(late.end(), p4.begin(), p4.end());
    late.insert(late.end(), p3.begin(), p3.end());
    EXPECT_EQ(keysFor(late), "34");
}

TEST(KeyPresses, KeysSitAtTheirPlaceInTheAudio)
{
    Playout p(0, 1600);
    KeyPresses presses;
    p.put(ssrc, 0, audioAt(0, 160));
    p.put(ssrc, 160, audioAt(160, 160));
    TelephoneEvent ev{5, false, 10, 160};
    p.putKey(ssrc, 200, *presses.onPacket(ssrc, 200, ev));
    std::vector<uint8_t> line;
    p.takeFrame(line);
    p.takeFrame(line);
    // 200 audio bytes (none is DLE in audioAt), then DLE '5'.
    ASSERT_EQ(line.size(), 322u);
    EXPECT_EQ(line[200], DLE);
    EXPECT_EQ(line[201], '5');
}

TEST(TelephoneEvent, ParsesPayloadAndMapsKeys)
{
    auto ev = parseTelephoneEvent(std::vector<uint8_t>{11, 0x8A, 0x03, 0x20});
    ASSERT_TRUE(ev);
    EXPECT_EQ(ev->event, 11);
    EXPECT_TRUE(ev->end);
    EXPECT_EQ(ev->volume, 10);
    EXPECT_EQ(ev->duration, 800);
    EXPECT_FALSE(parseTelephoneEvent(std::vector<uint8_t>{1, 2, 3}));
    std::string keys;
    for (uint8_t e = 0; e < 16; e++)
        keys.push_back(static_cast<char>(*keyForEvent(e)));
    EXPECT_EQ(keys, "0123456789*#ABCD");
    EXPECT_FALSE(keyForEvent(16));
}

TEST(TelephoneEvent, KeysSentAsSipInfo)
{
    auto key = [](bool relay, std::string_view body) {
        auto k = keyFromInfo(relay, body);
        return k ? std::string(1, static_cast<char>(*k)) : std::string("none");
    };
    // application/dtmf-relay, as far ends write it.
    EXPECT_EQ(key(true, "Signal=5\r\nDuration=160\r\n"), "5");
    EXPECT_EQ(key(true, "Duration=250\r\nSignal= #\r\n"), "#");
    EXPECT_EQ(key(true, "signal=*"), "*");
    EXPECT_EQ(key(true, "Signal=10\nDuration=100"), "*");
    EXPECT_EQ(key(true, "Signal=11"), "#");
    EXPECT_EQ(key(true, "Signal=15"), "D");
    EXPECT_EQ(key(true, "Signal=b"), "B");
    // application/dtmf: the key alone.
    EXPECT_EQ(key(false, "7"), "7");
    EXPECT_EQ(key(false, " 13\r\n"), "B");
    // Nothing that is not one key.
    EXPECT_EQ(key(true, "Duration=160"), "none");
    EXPECT_EQ(key(true, "Signals=5"), "none");
    EXPECT_EQ(key(true, "Signal=16"), "none");
    EXPECT_EQ(key(true, "Signal=55"), "none");
    EXPECT_EQ(key(true, "Signal=E"), "none");
    EXPECT_EQ(key(true, ""), "none");
    EXPECT_EQ(key(false, "Signal=5"), "none");
    EXPECT_EQ(key(false, ""), "none");
}
