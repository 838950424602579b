#include "voice_signal.h"

#include <algorithm>
#include <cmath>

#include "audio_io.h"

namespace callctl {

namespace {

constexpr double sampleRate = 8000.0;
constexpr double pi = 3.14159265358979323846;

// First three formants of a few vowels (Hz), all well inside the 4 kHz band.
constexpr double vowels[][3] = {
    {730, 1090, 2440}, // a
    {530, 1840, 2480}, // e
    {270, 2290, 3010}, // i
    {570, 840, 2410},  // o
    {300, 870, 2240},  // u
    {660, 1720, 2410}, // ae
};

} // namespace

void VoiceSignal::Resonator::tune(double frequency, double bandwidth)
{
    double r = std::exp(-pi * bandwidth / sampleRate);
    c = -r * r;
    b = 2 * r * std::cos(2 * pi * frequency / sampleRate);
    a = 1 - b - c;
}

double VoiceSignal::Resonator::step(double x)
{
    double y = a * x + b * y1 + c * y2;
    y2 = y1;
    y1 = y;
    return y;
}

VoiceSignal::VoiceSignal(uint32_t seed, double basePitch) : state_(seed ? seed : 0x9e3779b9u), basePitch_(basePitch)
{
    hiss_.tune(3000, 900);
    startSegment();
}

uint32_t VoiceSignal::random()
{
    // xorshift32: the same sequence on every platform.
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
}

double VoiceSignal::uniform(double low, double high)
{
    return low + (high - low) * (random() / 4294967296.0);
}

void VoiceSignal::startSegment()
{
    segmentPos_ = 0;
    if (syllablesLeft_ == 0) {
        // Between phrases: a breath, then a new phrase of a few syllables.
        if (kind_ != Kind::Pause) {
            kind_ = Kind::Pause;
            segmentLength_ = static_cast<size_t>(uniform(0.25, 0.7) * sampleRate);
            return;
        }
        syllablesLeft_ = 3 + random() % 8;
    }
    if (kind_ == Kind::Vowel && random() % 3 == 0) {
        kind_ = Kind::Consonant;
        segmentLength_ = static_cast<size_t>(uniform(0.03, 0.08) * sampleRate);
        loudness_ = uniform(0.15, 0.35);
        return;
    }
    kind_ = Kind::Vowel;
    --syllablesLeft_;
    segmentLength_ = static_cast<size_t>(uniform(0.11, 0.26) * sampleRate);
    loudness_ = uniform(0.55, 1.0);
    const double* v = vowels[random() % (sizeof vowels / sizeof vowels[0])];
    static const double bandwidths[3] = {80, 110, 160};
    for (int i = 0; i < 3; ++i)
        formants_[i].tune(v[i] * uniform(0.93, 1.07), bandwidths[i]);
    // Phrases fall in pitch towards their end, with some wander.
    double declination = 1.0 + 0.04 * static_cast<double>(syllablesLeft_);
    pitchStart_ = basePitch_ * declination * uniform(0.9, 1.15);
    pitchEnd_ = basePitch_ * declination * uniform(0.85, 1.1);
}

void VoiceSignal::render(int16_t* out, size_t count)
{
    for (size_t n = 0; n < count; ++n) {
        if (segmentPos_ >= segmentLength_)
            startSegment();
        double t = static_cast<double>(segmentPos_) / static_cast<double>(segmentLength_);
        // A raised-sine envelope, so segments start and end without clicks.
        double envelope = std::sin(pi * t);
        double noise = uniform(-1.0, 1.0);
        double value = 0;
        if (kind_ == Kind::Vowel) {
            double pitch = pitchStart_ + (pitchEnd_ - pitchStart_) * t;
            phase_ += pitch / sampleRate;
            double pulse = 0;
            if (phase_ >= 1.0) {
                phase_ -= 1.0;
                pulse = 1.0;
            }
            // A pulse smoothed by a one-pole low-pass gives the glottal tilt.
            lowpass_ = 0.7 * lowpass_ + 0.3 * (pulse + 0.02 * noise);
            double x = lowpass_;
            for (auto& f : formants_)
                x = f.step(x);
            value = x * 9.0 * loudness_ * envelope;
        } else if (kind_ == Kind::Consonant) {
            value = hiss_.step(noise) * 0.6 * loudness_ * envelope;
        } else {
            value = noise * 0.0015; // room noise
            for (auto& f : formants_)
                f.step(0.0); // let the vowel ring out
        }
        // A soft limit keeps the loudest vowels below full scale without the
        // harshness of clipping.
        double scaled = 24000.0 * std::tanh(value * 4000.0 / 24000.0);
        out[n] = static_cast<int16_t>(std::lround(scaled));
        ++segmentPos_;
    }
}

std::vector<int16_t> VoiceSignal::linear(size_t count)
{
    std::vector<int16_t> out(count);
    render(out.data(), count);
    return out;
}

std::vector<uint8_t> VoiceSignal::ulaw(size_t count)
{
    std::vector<int16_t> samples = linear(count);
    std::vector<uint8_t> out(count);
    for (size_t i = 0; i < count; ++i)
        out[i] = linearToUlaw(samples[i]);
    return out;
}

} // namespace callctl
