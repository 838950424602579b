#include "framing.h"

namespace sipline {

void appendDoubled(std::span<const uint8_t> audio, std::vector<uint8_t>& out)
{
    for (uint8_t b : audio) {
        if (b == DLE)
            out.push_back(DLE);
        out.push_back(b);
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
    for (uint8_t b : in) {
        if (pendingDle_) {
            pendingDle_ = false;
            if (b == DLE)
                audio.push_back(DLE);
            else
                codes_++;
        } else if (b == DLE) {
            pendingDle_ = true;
        } else {
            audio.push_back(b);
        }
    }
}

} // namespace sipline
