// RFC 4733 telephone-events → touchtone keys, exactly once per key press.
//
// Every packet of one press carries the same RTP timestamp (the press's
// start), whatever its duration field or end bit says.  So a press is
// reported by the first of its packets that arrives, be it a start, an
// update or one of the repeated ends, and never again: the timestamps of
// recent presses are remembered.  Putting the key at that timestamp in the
// playout buffer then restores the order of presses that arrived reordered.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace sipline {

struct TelephoneEvent {
    uint8_t event;
    bool end;
    uint8_t volume;
    uint16_t duration;
};

// The four-byte payload; nothing when it is shorter.
std::optional<TelephoneEvent> parseTelephoneEvent(std::span<const uint8_t> payload);
// Events 0–15 as the voice tty's key codes; nothing for the others.
std::optional<uint8_t> keyForEvent(uint8_t event);

// A key some far ends send as SIP INFO instead of an event: the body of an
// "application/dtmf-relay" INFO ("Signal=5", "Duration=160" on lines of
// their own) when `relay`, else of an "application/dtmf" one ("5").  The
// signal is a key ('0'-'9', '*', '#', 'A'-'D', either case) or an event
// number (10 for '*', 11 for '#', 12-15 for 'A'-'D').
std::optional<uint8_t> keyFromInfo(bool relay, std::string_view body);

class KeyPresses {
public:
    // The key to report for this packet, or nothing when its press was
    // already reported (or the event is not a key).
    std::optional<uint8_t> onPacket(uint32_t ssrc, uint32_t timestamp, const TelephoneEvent& ev);

private:
    struct Seen {
        uint32_t ssrc;
        uint32_t timestamp;
    };
    // Far more presses than can be in flight at once.
    std::array<Seen, 32> seen_{};
    size_t count_ = 0;
    size_t next_ = 0;
};

} // namespace sipline
