#include "tape_wav.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <samplerate.h>
#include <sndfile.h>

#include "audio_io.h"

namespace callctl {

namespace {

struct SndfileCloser {
    void operator()(SNDFILE* f) const { sf_close(f); }
};
using SndfilePtr = std::unique_ptr<SNDFILE, SndfileCloser>;

constexpr float fullScale = 32768.0f;

} // namespace

std::vector<uint8_t> interleavePair(const std::vector<uint8_t>& left, const std::vector<uint8_t>& right)
{
    size_t frames = std::max(left.size(), right.size());
    std::vector<uint8_t> out(frames * 2, ulawSilence);
    for (size_t i = 0; i < left.size(); ++i)
        out[2 * i] = left[i];
    for (size_t i = 0; i < right.size(); ++i)
        out[2 * i + 1] = right[i];
    return out;
}

bool readWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        *error = "can't open " + path + ": " + strerror(errno);
        return false;
    }
    bytes->clear();
    uint8_t buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        bytes->insert(bytes->end(), buffer, buffer + n);
    bool failed = ferror(f);
    fclose(f);
    if (failed) {
        *error = "can't read " + path;
        return false;
    }
    return true;
}

bool writeWholeFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) {
        *error = "can't create " + path + ": " + strerror(errno);
        return false;
    }
    bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size(); // no data pointer when empty
    ok = (fclose(f) == 0) && ok;
    if (!ok)
        *error = "can't write " + path + ": " + strerror(errno);
    return ok;
}

bool writeUlawWav(const std::string& path, int channels, const std::vector<uint8_t>& interleaved,
                  WavEncoding encoding, std::string* error)
{
    SF_INFO info{};
    info.samplerate = tapeRate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | (encoding == WavEncoding::Ulaw ? SF_FORMAT_ULAW : SF_FORMAT_PCM_16);
    SndfilePtr file(sf_open(path.c_str(), SFM_WRITE, &info));
    if (!file) {
        *error = "can't create " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    sf_count_t written;
    sf_count_t wanted;
    if (encoding == WavEncoding::Ulaw) {
        // Raw writes keep the tape's bytes; libsndfile's own encoder would
        // fold the two codes of zero into one.
        wanted = static_cast<sf_count_t>(interleaved.size());
        written = sf_write_raw(file.get(), interleaved.data(), wanted);
    } else {
        std::vector<short> pcm(interleaved.size());
        for (size_t i = 0; i < interleaved.size(); ++i)
            pcm[i] = static_cast<short>(ulawToLinear(interleaved[i]));
        wanted = static_cast<sf_count_t>(pcm.size());
        written = sf_write_short(file.get(), pcm.data(), wanted);
    }
    if (written != wanted) {
        *error = "can't write " + path + ": " + sf_strerror(file.get());
        return false;
    }
    if (sf_close(file.release()) != 0) {
        *error = "can't finish " + path;
        return false;
    }
    return true;
}

bool exportMono(const std::string& ulawPath, const std::string& wavPath, WavEncoding encoding, std::string* error)
{
    std::vector<uint8_t> bytes;
    return readWholeFile(ulawPath, &bytes, error) && writeUlawWav(wavPath, 1, bytes, encoding, error);
}

bool exportPair(const std::string& ingoingPath, const std::string& outgoingPath, const std::string& wavPath,
                WavEncoding encoding, std::string* error)
{
    std::vector<uint8_t> in, out;
    if (!readWholeFile(ingoingPath, &in, error) || !readWholeFile(outgoingPath, &out, error))
        return false;
    return writeUlawWav(wavPath, 2, interleavePair(in, out), encoding, error);
}

std::vector<float> decodeUlaw(const std::vector<uint8_t>& bytes)
{
    std::vector<float> out(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i)
        out[i] = static_cast<float>(ulawToLinear(bytes[i])) / fullScale;
    return out;
}

std::vector<uint8_t> encodeUlaw(const std::vector<float>& samples)
{
    std::vector<uint8_t> out(samples.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        float v = std::clamp(samples[i], -1.0f, 1.0f) * fullScale;
        out[i] = linearToUlaw(static_cast<int>(std::lround(std::clamp(v, -32768.0f, 32767.0f))));
    }
    return out;
}

std::vector<float> resampleMono(const std::vector<float>& samples, int fromRate, int toRate, std::string* error)
{
    if (fromRate == toRate || samples.empty())
        return samples;
    double ratio = static_cast<double>(toRate) / fromRate;
    std::vector<float> out(static_cast<size_t>(std::ceil(samples.size() * ratio)) + 16);
    SRC_DATA data{};
    data.data_in = samples.data();
    data.input_frames = static_cast<long>(samples.size());
    data.data_out = out.data();
    data.output_frames = static_cast<long>(out.size());
    data.src_ratio = ratio;
    data.end_of_input = 1;
    int rc = src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 1);
    if (rc != 0) {
        *error = std::string("resampling failed: ") + src_strerror(rc);
        return {};
    }
    out.resize(static_cast<size_t>(data.output_frames_gen));
    return out;
}

bool readWavAsTape(const std::string& wavPath, TapeChannels* out, std::string* error)
{
    SF_INFO info{};
    SndfilePtr file(sf_open(wavPath.c_str(), SFM_READ, &info));
    if (!file) {
        *error = "can't read " + wavPath + ": " + sf_strerror(nullptr);
        return false;
    }
    if (info.channels < 1 || info.samplerate < 1) {
        *error = wavPath + ": no audio channels";
        return false;
    }
    out->sourceRate = info.samplerate;
    out->channels.assign(static_cast<size_t>(info.channels), {});
    const size_t channels = static_cast<size_t>(info.channels);
    const size_t frames = static_cast<size_t>(std::max<sf_count_t>(info.frames, 0));

    if ((info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_ULAW && info.samplerate == tapeRate) {
        std::vector<uint8_t> raw(frames * channels);
        sf_count_t got = sf_read_raw(file.get(), raw.data(), static_cast<sf_count_t>(raw.size()));
        if (got < 0) {
            *error = "can't read " + wavPath + ": " + sf_strerror(file.get());
            return false;
        }
        raw.resize(static_cast<size_t>(got) / channels * channels);
        for (size_t c = 0; c < channels; ++c)
            for (size_t i = c; i < raw.size(); i += channels)
                out->channels[c].push_back(raw[i]);
        out->exact = true;
        return true;
    }

    std::vector<float> interleaved(frames * channels);
    sf_count_t got = sf_readf_float(file.get(), interleaved.data(), static_cast<sf_count_t>(frames));
    if (got < 0) {
        *error = "can't read " + wavPath + ": " + sf_strerror(file.get());
        return false;
    }
    size_t gotFrames = static_cast<size_t>(got);
    for (size_t c = 0; c < channels; ++c) {
        std::vector<float> mono(gotFrames);
        for (size_t i = 0; i < gotFrames; ++i)
            mono[i] = interleaved[i * channels + c];
        std::vector<float> resampled = resampleMono(mono, info.samplerate, tapeRate, error);
        if (resampled.empty() && !mono.empty())
            return false;
        out->channels[c] = encodeUlaw(resampled);
    }
    out->exact = false;
    return true;
}

bool importMono(const std::string& wavPath, const std::string& ulawPath, std::string* error)
{
    TapeChannels tape;
    if (!readWavAsTape(wavPath, &tape, error))
        return false;
    if (tape.channels.size() == 1)
        return writeWholeFile(ulawPath, tape.channels[0], error);
    std::vector<std::vector<float>> decoded;
    size_t length = 0;
    for (const auto& c : tape.channels) {
        decoded.push_back(decodeUlaw(c));
        length = std::max(length, c.size());
    }
    std::vector<float> mix(length, 0.0f);
    for (const auto& c : decoded)
        for (size_t i = 0; i < c.size(); ++i)
            mix[i] += c[i] / static_cast<float>(decoded.size());
    return writeWholeFile(ulawPath, encodeUlaw(mix), error);
}

bool importPair(const std::string& wavPath, const std::string& ingoingPath, const std::string& outgoingPath,
                std::string* error)
{
    TapeChannels tape;
    if (!readWavAsTape(wavPath, &tape, error))
        return false;
    if (tape.channels.size() != 2) {
        *error = wavPath + " has " + std::to_string(tape.channels.size()) +
                 " channel(s); a tape pair needs a stereo WAV (left remote, right local)";
        return false;
    }
    return writeWholeFile(ingoingPath, tape.channels[0], error) &&
           writeWholeFile(outgoingPath, tape.channels[1], error);
}

} // namespace callctl
