// RTP → line: a playout buffer indexed by RTP timestamp.
//
// Packets land at their timestamp, so reordering, duplicates and packet
// sizes other than 20 ms need no special case.  Every 20 ms the line takes
// one frame of 160 samples from the play position; a sample that did not
// arrive in time is µ-law silence (0xFF), so what the far end said never
// moves in time against what it said before.  Playing starts `startDelay`
// samples behind the first packet.  A packet that comes too late for its
// place is dropped and the delay grows by its lateness, up to `maxDelay`:
// the growth is played as silence once, at the next frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sipline {

inline constexpr uint32_t frameSamples = 160; // 20 ms at 8 kHz

class Playout {
public:
    Playout(uint32_t startDelay, uint32_t maxDelay);

    void put(uint32_t ssrc, uint32_t timestamp, std::span<const uint8_t> ulaw);
    // A touchtone key pressed at `timestamp`: played as DLE + key in its
    // place in the audio, or at once if that place has been played.
    void putKey(uint32_t ssrc, uint32_t timestamp, uint8_t key);
    // Appends the next frame to `line`, framed (DLE doubled, keys as codes).
    void takeFrame(std::vector<uint8_t>& line);

    // Samples still to be played up to the newest one received: what a
    // call that ends now would otherwise never play.
    uint32_t buffered() const;

    uint32_t delay() const { return delay_; }
    uint64_t missingSamples() const { return missing_; } // played as silence
    uint64_t lateSamples() const { return late_; }       // arrived after their place
    uint64_t resyncs() const { return resyncs_; }        // new SSRC or timestamp jump

private:
    static constexpr uint32_t ringSize = 16384; // 2 s: the cap on delay and look-ahead
    static constexpr uint32_t ringMask = ringSize - 1;
    static_assert(ringSize % 64 == 0, "the ring is a whole number of 64-slot words");

    bool follow(uint32_t ssrc, uint32_t timestamp, uint32_t count);
    bool filled(uint32_t slot) const { return (filled_[slot / 64] >> (slot % 64)) & 1; }
    // The next frame can be copied whole: every sample here, no key due in
    // it, no silence owed.
    bool wholeFrameHere() const;

    struct Key {
        uint32_t timestamp;
        uint8_t key;
    };

    uint32_t startDelay_;
    uint32_t maxDelay_;
    uint32_t delay_;
    bool started_ = false;
    uint32_t ssrc_ = 0;
    uint32_t playTs_ = 0; // timestamp of the next sample to play
    uint32_t firstTs_ = 0; // the stream's first timestamp
    uint32_t endTs_ = 0;   // just after the newest sample received
    uint32_t stall_ = 0;  // silence still owed for a grown delay
    std::vector<uint8_t> samples_;
    // A bit per slot: it holds a sample not yet played.  Only samples less
    // than the ring ahead of the play position are kept, and the play
    // position clears each bit it passes, so a set bit is always the sample
    // due when the play position reaches its slot.  A frame touches a few
    // cache lines: after 20 ms of the machine's other work they are cold.
    std::vector<uint64_t> filled_;
    std::vector<Key> keys_;
    uint64_t missing_ = 0;
    uint64_t late_ = 0;
    uint64_t resyncs_ = 0;
};

} // namespace sipline
