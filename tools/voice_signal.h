// A voice-like test signal: phrases of syllables and pauses, a glottal
// pulse train at a wandering pitch through vowel formants, with short noisy
// consonants.  It is not speech, but it looks and sounds enough like it that
// the waveforms, the touchtones and the silences of a taped call can be told
// apart by eye and by ear.  Deterministic for a seed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace callctl {

class VoiceSignal {
public:
    // basePitch in Hz: around 110 for a low voice, 200 for a high one.
    VoiceSignal(uint32_t seed, double basePitch);

    // The next `count` samples at 8 kHz, 16-bit linear.
    void render(int16_t* out, size_t count);
    std::vector<int16_t> linear(size_t count);
    std::vector<uint8_t> ulaw(size_t count);

private:
    uint32_t random();
    double uniform(double low, double high);
    void startSegment();

    struct Resonator {
        double a = 0, b = 0, c = 0, y1 = 0, y2 = 0;
        void tune(double frequency, double bandwidth);
        double step(double x);
    };

    uint32_t state_;
    double basePitch_;
    // The current segment: a syllable, a consonant or a pause.
    enum class Kind { Pause, Vowel, Consonant } kind_ = Kind::Pause;
    size_t segmentLength_ = 0;
    size_t segmentPos_ = 0;
    size_t syllablesLeft_ = 0; // in the current phrase
    double pitchStart_ = 0, pitchEnd_ = 0;
    double loudness_ = 0;
    double phase_ = 1.0; // of the glottal cycle, 0..1
    Resonator formants_[3];
    Resonator hiss_;
    double lowpass_ = 0;
};

} // namespace callctl
