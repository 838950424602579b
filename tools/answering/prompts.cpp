#include "prompts.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <espeak-ng/speak_lib.h>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "audio_io.h"
#include "tape_wav.h"

namespace callctl {

namespace {

// Bumped whenever what a prompt sounds like changes, so that files made
// by an older build are not played again.
constexpr const char* promptFormat = "prompt-v1";

// libespeak-ng keeps one synthesizer per process, driven through globals.
std::mutex speechLock;
int speechRate = 0; // samples a second; 0 until initialized, -1 when it failed

int collectSamples(short* wav, int count, espeak_EVENT* events)
{
    if (wav && count > 0 && events) {
        auto* out = static_cast<std::vector<short>*>(events->user_data);
        out->insert(out->end(), wav, wav + count);
    }
    return 0;
}

uint64_t fnv1a(const std::string& bytes)
{
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

bool writeFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error)
{
    static std::atomic<unsigned> counter{0};
    std::string temp = path + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *error = "can't create " + temp + ": " + strerror(errno);
        return false;
    }
    size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    // rename replaces a file another writer put there first: both hold the
    // same sound, and a reader has the one or the other, whole.
    if (!ok || rename(temp.c_str(), path.c_str()) < 0) {
        *error = "can't write " + path + ": " + strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

} // namespace

bool synthesizeSpeech(const std::string& text, const std::string& voice, std::vector<uint8_t>* ulaw,
                      std::string* error)
{
    std::vector<short> samples;
    int rate;
    {
        std::lock_guard<std::mutex> lock(speechLock);
        if (speechRate == 0) {
            speechRate = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 500, nullptr, 0);
            if (speechRate > 0)
                espeak_SetSynthCallback(collectSamples);
            else
                speechRate = -1;
        }
        if (speechRate < 0) {
            *error = "the speech synthesizer (libespeak-ng) could not start: are its voices (espeak-ng-data) installed?";
            return false;
        }
        if (espeak_SetVoiceByName(voice.c_str()) != EE_OK) {
            *error = "the speech synthesizer has no voice \"" + voice + "\"";
            return false;
        }
        espeak_SetParameter(espeakRATE, 160, 0); // a little slower than usual: a telephone is no loudspeaker
        if (espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr, &samples) !=
            EE_OK) {
            *error = "the speech synthesizer failed on \"" + text + "\"";
            return false;
        }
        rate = speechRate;
    }
    if (samples.empty()) {
        *error = "the speech synthesizer said nothing for \"" + text + "\"";
        return false;
    }
    std::vector<float> mono(samples.size());
    float peak = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        mono[i] = samples[i] / 32768.0f;
        peak = std::max(peak, std::fabs(mono[i]));
    }
    std::vector<float> resampled = resampleMono(mono, rate, 8000, error);
    if (resampled.empty())
        return false;
    if (peak > 0) {
        float gain = 0.5f / peak;
        for (float& x : resampled)
            x *= gain;
    }
    *ulaw = encodeUlaw(resampled);
    return true;
}

std::vector<uint8_t> beepTone(int frequencyHz, int milliseconds, double dbfs)
{
    const int n = milliseconds * 8;
    const int ramp = 40; // 5 ms: no click at either end
    const double amplitude = std::pow(10.0, dbfs / 20) * 32767;
    std::vector<uint8_t> out(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        double edge = 1;
        int fromEdge = std::min(i, n - 1 - i);
        if (fromEdge < ramp)
            edge = 0.5 - 0.5 * std::cos(M_PI * fromEdge / ramp);
        double x = amplitude * edge * std::sin(2 * M_PI * frequencyHz * i / 8000.0);
        out[static_cast<size_t>(i)] = linearToUlaw(static_cast<int>(std::lround(x)));
    }
    return out;
}

PromptCache::PromptCache(std::string folder, std::string voice, Synthesizer synthesize)
    : folder_(std::move(folder)), voice_(std::move(voice)), synthesize_(std::move(synthesize))
{
}

std::string PromptCache::fileNameFor(const std::string& text) const
{
    char name[32];
    snprintf(name, sizeof name, "%016llx.ul",
             static_cast<unsigned long long>(fnv1a(std::string(promptFormat) + '\0' + voice_ + '\0' + text)));
    return name;
}

bool PromptCache::cached(const std::string& name, const std::function<bool(std::vector<uint8_t>*, std::string*)>& make,
                         std::string* path, std::string* error)
{
    if (mkdir(folder_.c_str(), 0700) < 0 && errno != EEXIST) {
        *error = "can't create " + folder_ + ": " + strerror(errno);
        return false;
    }
    std::string file = folder_ + "/" + name;
    struct stat st;
    // An empty file is no prompt: made again.
    if (lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        *path = file;
        return true;
    }
    std::vector<uint8_t> sound;
    if (!make(&sound, error) || !writeFileAtomically(file, sound, error))
        return false;
    *path = file;
    return true;
}

bool PromptCache::promptFile(const std::string& text, std::string* path, std::string* error)
{
    return cached(
        fileNameFor(text),
        [&](std::vector<uint8_t>* sound, std::string* e) { return synthesize_(text, voice_, sound, e); }, path,
        error);
}

bool PromptCache::beepFile(std::string* path, std::string* error)
{
    return cached(
        std::string(promptFormat) + "-beep.ul",
        [](std::vector<uint8_t>* sound, std::string*) {
            *sound = beepTone();
            return true;
        },
        path, error);
}

} // namespace callctl
