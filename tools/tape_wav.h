// Tape files <-> WAV files, through libsndfile (and libsamplerate on import).
//
// A tape file is headerless µ-law at 8000 samples a second.  Export wraps
// the bytes in a WAV as they are (format tag µ-law), so a µ-law WAV imports
// back to the very same bytes; a tape pair becomes one stereo WAV, the
// remote party (ingoing) left and the local user (outgoing) right.  Import
// takes any WAV libsndfile reads, resamples it to 8 kHz and encodes µ-law.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace callctl {

inline constexpr int tapeRate = 8000;
inline constexpr uint8_t ulawSilence = 0xFF;

enum class WavEncoding {
    Ulaw,  // the tape bytes as they are (exact)
    Pcm16, // decoded to signed 16-bit, for tools that do not read µ-law WAVs
};

// Writes interleaved µ-law frames (`channels` bytes per frame) as a WAV.
bool writeUlawWav(const std::string& path, int channels, const std::vector<uint8_t>& interleaved,
                  WavEncoding encoding, std::string* error);

// Two sides of one instant side by side; the shorter side is padded with
// µ-law silence, because byte n of both files belongs to the same instant.
std::vector<uint8_t> interleavePair(const std::vector<uint8_t>& left, const std::vector<uint8_t>& right);

bool readWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);
bool writeWholeFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error);

bool exportMono(const std::string& ulawPath, const std::string& wavPath, WavEncoding encoding, std::string* error);
bool exportPair(const std::string& ingoingPath, const std::string& outgoingPath, const std::string& wavPath,
                WavEncoding encoding, std::string* error);

// A WAV as µ-law tape channels: each channel's bytes at 8 kHz.
struct TapeChannels {
    std::vector<std::vector<uint8_t>> channels;
    bool exact = false; // the file already held 8 kHz µ-law: bytes copied, not re-encoded
    int sourceRate = 0;
};
bool readWavAsTape(const std::string& wavPath, TapeChannels* out, std::string* error);

// Mono file: a stereo (or wider) WAV is mixed down first.
bool importMono(const std::string& wavPath, const std::string& ulawPath, std::string* error);
// Tape pair from a stereo WAV: left channel ingoing, right channel outgoing.
bool importPair(const std::string& wavPath, const std::string& ingoingPath, const std::string& outgoingPath,
                std::string* error);

// The pure steps of import, exposed for their tests.
std::vector<float> resampleMono(const std::vector<float>& samples, int fromRate, int toRate, std::string* error);
std::vector<uint8_t> encodeUlaw(const std::vector<float>& samples); // full scale is 1.0; clipped
std::vector<float> decodeUlaw(const std::vector<uint8_t>& bytes);

} // namespace callctl
