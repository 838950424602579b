#include "telephone_event.h"

#include <strings.h>

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

namespace {

std::string_view trimmed(std::string_view s)
{
    constexpr std::string_view blanks = " \t\r\n";
    size_t from = s.find_first_not_of(blanks);
    if (from == std::string_view::npos)
        return {};
    return s.substr(from, s.find_last_not_of(blanks) - from + 1);
}

std::optional<uint8_t> signalKey(std::string_view signal)
{
    signal = trimmed(signal);
    if (signal.size() == 1) {
        char c = signal[0];
        if (c >= 'a' && c <= 'd')
            c = static_cast<char>(c - 'a' + 'A');
        if ((c >= '0' && c <= '9') || c == '*' || c == '#' || (c >= 'A' && c <= 'D'))
            return static_cast<uint8_t>(c);
        return std::nullopt;
    }
    if (signal.size() == 2 && signal[0] == '1' && signal[1] >= '0' && signal[1] <= '5')
        return keyForEvent(static_cast<uint8_t>(10 + signal[1] - '0'));
    return std::nullopt;
}

bool namedSignal(std::string_view name)
{
    name = trimmed(name);
    return name.size() == 6 && strncasecmp(name.data(), "signal", 6) == 0;
}

} // namespace

std::optional<uint8_t> keyFromInfo(bool relay, std::string_view body)
{
    if (!relay)
        return signalKey(body);
    while (!body.empty()) {
        size_t end = body.find('\n');
        std::string_view line = body.substr(0, end);
        body = end == std::string_view::npos ? std::string_view() : body.substr(end + 1);
        size_t equals = line.find('=');
        if (equals != std::string_view::npos && namedSignal(line.substr(0, equals)))
            return signalKey(line.substr(equals + 1));
    }
    return std::nullopt;
}

} // namespace sipline
