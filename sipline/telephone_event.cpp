#include "telephone_event.h"

namespace sipline {

std::optional<TelephoneEvent> parseTelephoneEvent(std::span<const uint8_t> payload)
{
    if (payload.size() < 4)
        return std::nullopt;
    TelephoneEvent ev;
    ev.event = payload[0];
    ev.end = (payload[1] & 0x80) != 0;
    ev.volume = payload[1] & 0x3F;
    ev.duration = static_cast<uint16_t>(payload[2] << 8 | payload[3]);
    return ev;
}

std::optional<uint8_t> keyForEvent(uint8_t event)
{
    static constexpr char keys[] = "0123456789*#ABCD";
    if (event > 15)
        return std::nullopt;
    return static_cast<uint8_t>(keys[event]);
}

std::optional<uint8_t> KeyPresses::onPacket(uint32_t ssrc, uint32_t timestamp, const TelephoneEvent& ev)
{
    auto key = keyForEvent(ev.event);
    if (!key)
        return std::nullopt;
    for (size_t i = 0; i < count_; i++)
        if (seen_[i].ssrc == ssrc && seen_[i].timestamp == timestamp)
            return std::nullopt;
    seen_[next_] = {ssrc, timestamp};
    next_ = (next_ + 1) % seen_.size();
    if (count_ < seen_.size())
        count_++;
    return key;
}

} // namespace sipline
