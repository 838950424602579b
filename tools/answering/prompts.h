// The answering machine's voice: spoken prompts and the beep, as 8 kHz µ-law
// files the VoicePhone daemon plays down the line as it plays a greeting.
//
// Speech comes from Debian's libespeak-ng (synchronous, into a buffer),
// resampled to 8 kHz with libsamplerate and encoded with the daemons' own
// µ-law codec.  Each prompt is made once and kept in the mailbox's
// .prompts/ folder under a name made from a hash of its text and voice, so
// every later call plays the file at once.  Files are written under a
// temporary name and renamed into place, so two calls making the same
// prompt at once both end up with one whole file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace callctl {

// Text and voice to µ-law at 8 kHz.
using Synthesizer = std::function<bool(const std::string& text, const std::string& voice,
                                       std::vector<uint8_t>* ulaw, std::string* error)>;

// libespeak-ng's synthesis; the level is brought to a peak of -6 dBFS.
bool synthesizeSpeech(const std::string& text, const std::string& voice, std::vector<uint8_t>* ulaw,
                      std::string* error);

// The tone before the caller speaks: a sine with soft edges, as µ-law.
std::vector<uint8_t> beepTone(int frequencyHz = 1000, int milliseconds = 500, double dbfs = -10);

class PromptCache {
public:
    explicit PromptCache(std::string folder, std::string voice = "en", Synthesizer synthesize = synthesizeSpeech);

    // The path of a µ-law file speaking `text`, synthesized on first use.
    bool promptFile(const std::string& text, std::string* path, std::string* error);
    // The path of the beep's file.
    bool beepFile(std::string* path, std::string* error);

    // "<16 hex digits>.ul": the same for the same text and voice on every
    // machine and build.
    std::string fileNameFor(const std::string& text) const;

private:
    bool cached(const std::string& name, const std::function<bool(std::vector<uint8_t>*, std::string*)>& make,
                std::string* path, std::string* error);

    std::string folder_;
    std::string voice_;
    Synthesizer synthesize_;
};

} // namespace callctl
