// The line carries µ-law; a call may carry A-law.  Conversion goes through
// 16-bit linear with librem's G.711 tables.
#pragma once

#include <cstdint>
#include <span>

namespace sipline {

enum class Codec { Pcmu, Pcma };

// In place: the payload of a received packet to µ-law, a µ-law frame to the
// call's codec.
void toUlaw(Codec codec, std::span<uint8_t> samples);
void fromUlaw(Codec codec, std::span<uint8_t> samples);

} // namespace sipline
