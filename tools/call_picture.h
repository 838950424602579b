// The picture of a taped call: both waveforms over tape time, with the
// touchtones heard, the DTMF keys sent, taping switched on and off and the
// moves of the tape marked.  Drawn with cairo into a PNG.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace callctl {

struct TapeMark {
    enum class Kind { Touchtone, DtmfSent, TapingOn, TapingOff, TapeMove };
    Kind kind;
    uint32_t position;   // tape byte offset where it happened
    uint32_t target = 0; // TapeMove: where the tape went
    std::string label;   // the key, or a word on the move
};

struct CallPicture {
    std::vector<uint8_t> remote; // ingoing tape (µ-law)
    std::vector<uint8_t> local;  // outgoing tape (µ-law)
    std::vector<TapeMark> marks;
    std::string title;
    int width = 1400;
    int height = 600;
};

// Geometry shared with the tests: where a tape position lands, which rows
// the two lanes cover.
struct PictureLayout {
    double left, right;              // x of tape start and tape end
    double remoteTop, remoteBottom;  // lanes
    double localTop, localBottom;
    uint32_t length;                 // tape bytes across the width
    double x(uint32_t position) const;
};
PictureLayout layoutFor(const CallPicture& p);

bool drawCallPicture(const CallPicture& p, const std::string& pngPath, std::string* error);

} // namespace callctl
