// When has the caller stopped talking?  The level of the response audio,
// frame by frame (20 ms), against a threshold that follows the line's own
// noise: a hiss or a steady tone becomes the floor, and only what rises
// clearly above it, for long enough, is sound.
//
//  - Line noise: the floor drops at once to the quietest frame and rises
//    slowly (a few seconds), so steady noise, even a loud one, or a tone
//    that never stops (a line left open) is taken for silence.
//  - Clicks: sound must last 3 frames (60 ms) in a row; a crackle is shorter.
//  - Touchtones: a key's tone (70 ms and more) is the caller's doing and
//    counts as sound, as does a key the line reports (noteActivity); being
//    short, it leaves the floor where it was.
#pragma once

#include <cstddef>
#include <cstdint>

namespace callctl {

struct SilenceSettings {
    int frameSamples = 160;    // 20 ms at 8 kHz
    double quietLevel = 180;   // RMS (16-bit scale, about -45 dBFS) below which a frame is silent anyway
    double aboveFloor = 3.0;   // a frame louder than this times the floor (about 10 dB) may be sound
    int soundFrames = 3;       // frames in a row that make sound
    double floorRise = 0.002;  // share of the distance the floor climbs each frame
};

class SilenceDetector {
public:
    explicit SilenceDetector(SilenceSettings settings = {});

    void feed(const uint8_t* ulaw, size_t count);
    void noteActivity(); // a key reported by the line, or anything else that is not silence

    uint64_t silentSamples() const { return silent_; } // since the last sound, in whole frames
    bool silentFor(uint64_t samples) const { return silent_ >= samples; }
    double noiseFloor() const { return floor_; }

private:
    void frame(double rms);

    SilenceSettings s_;
    double sumSquares_ = 0;
    int inFrame_ = 0;
    bool seeded_ = false;
    double floor_ = 0;
    int loudRun_ = 0;
    uint64_t silent_ = 0;
};

} // namespace callctl
