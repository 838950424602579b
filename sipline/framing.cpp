#include "framing.h"

#include <algorithm>

namespace sipline {

void appendDoubled(std::span<const uint8_t> audio, std::vector<uint8_t>& out)
{
    // Runs without DLE, the common case, are copied whole.
    auto from = audio.begin();
    while (from != audio.end()) {
        auto dle = std::find(from, audio.end(), DLE);
        out.insert(out.end(), from, dle);
        if (dle == audio.end())
            break;
        out.push_back(DLE);
        out.push_back(DLE);
        from = dle + 1;
    }
}

void appendCode(uint8_t code, std::vector<uint8_t>& out)
{
    out.push_back(DLE);
    out.push_back(code);
}

size_t pairSafeLength(std::span<const uint8_t> framed, size_t limit)
{
    if (limit >= framed.size())
        return framed.size();
    // Walk whole units from the start: a unit is one byte, or DLE + one byte.
    size_t at = 0;
    while (at < limit) {
        size_t unit = framed[at] == DLE ? 2 : 1;
        if (at + unit > limit)
            break;
        at += unit;
    }
    return at;
}

void Undoubler::feed(std::span<const uint8_t> in, std::vector<uint8_t>& audio)
{
    auto from = in.begin();
    while (from != in.end()) {
        if (pendingDle_) {
            pendingDle_ = false;
            if (*from == DLE)
                audio.push_back(DLE);
            else
                codes_++;
            ++from;
            continue;
        }
        // Up to the next DLE is plain audio.
        auto dle = std::find(from, in.end(), DLE);
        audio.insert(audio.end(), from, dle);
        if (dle == in.end())
            break;
        pendingDle_ = true;
        from = dle + 1;
    }
}

} // namespace sipline
