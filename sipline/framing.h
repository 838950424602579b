// The voice tty's framing as this line speaks it: audio bytes with every DLE
// (0x10) sent twice, DLE + key for a touchtone, DLE ETX for the end of the
// call.  Toward the line bytes are queued in whole units (a doubled DLE or a
// DLE code is one unit) and a write is cut only between units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sipline {

inline constexpr uint8_t DLE = 0x10;
inline constexpr uint8_t ETX = 0x03;
inline constexpr uint8_t ulawSilence = 0xFF;

// Appends audio to out with every DLE doubled.
void appendDoubled(std::span<const uint8_t> audio, std::vector<uint8_t>& out);
// Appends DLE + code.
void appendCode(uint8_t code, std::vector<uint8_t>& out);

// The longest prefix of at most `limit` bytes of a framed buffer that ends
// between units, so a write of it never leaves the line holding half a pair.
size_t pairSafeLength(std::span<const uint8_t> framed, size_t limit);

// Line → RTP: undoes the doubling.  A DLE followed by anything but DLE is a
// code the application sent (voicephone-daemon sends none); it carries no
// audio and is counted.  A DLE that ends one read pairs with the first byte
// of the next.
class Undoubler {
public:
    void feed(std::span<const uint8_t> in, std::vector<uint8_t>& audio);
    size_t codes() const { return codes_; }

private:
    bool pendingDle_ = false;
    size_t codes_ = 0;
};

} // namespace sipline
