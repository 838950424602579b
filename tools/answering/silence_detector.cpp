#include "silence_detector.h"

#include <cmath>

#include "audio_io.h"

namespace callctl {

SilenceDetector::SilenceDetector(SilenceSettings settings) : s_(settings) {}

void SilenceDetector::feed(const uint8_t* ulaw, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        double x = ulawToLinear(ulaw[i]);
        sumSquares_ += x * x;
        if (++inFrame_ == s_.frameSamples) {
            frame(std::sqrt(sumSquares_ / s_.frameSamples));
            sumSquares_ = 0;
            inFrame_ = 0;
        }
    }
}

void SilenceDetector::noteActivity()
{
    silent_ = 0;
    loudRun_ = 0;
}

void SilenceDetector::frame(double rms)
{
    // The first frame seeds the floor: a caller who starts at once pulls it
    // down at the first pause between words.
    if (!seeded_ || rms < floor_)
        floor_ = rms;
    else
        floor_ += (rms - floor_) * s_.floorRise;
    seeded_ = true;

    bool loud = rms > s_.quietLevel && rms > floor_ * s_.aboveFloor;
    loudRun_ = loud ? loudRun_ + 1 : 0;
    if (loudRun_ >= s_.soundFrames)
        silent_ = 0;
    else
        silent_ += static_cast<uint64_t>(s_.frameSamples);
}

} // namespace callctl
