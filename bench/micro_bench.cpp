// Micro-benchmarks of the per-sample work the daemons do in their loops.
// Each benchmark states the samples one iteration handles (counter
// "samples"); --markdown prints one table row per benchmark with the time per
// sample and the multiple of a call's 8000 samples a second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "audio_io.h"
#include "control_block.h"
#include "dle_doubling.h"
#include "dtmf.h"
#include "line_decoder.h"
#include "marks.h"
#include "mixing.h"
#include "playout.h"

namespace {

// A voice-like spread of linear samples: loud and quiet, both signs.
std::vector<int> linearSamples(size_t n)
{
    std::vector<int> v(n);
    uint32_t x = 12345;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245 + 12345;
        int magnitude = static_cast<int>((x >> 8) & 0x7FFF) >> ((x >> 4) & 7);
        v[i] = (x & 1) ? magnitude : -magnitude;
    }
    return v;
}

std::vector<uint8_t> ulawSamples(size_t n)
{
    std::vector<uint8_t> v(n);
    auto lin = linearSamples(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = linearToUlaw(lin[i]);
    return v;
}

void perSample(benchmark::State& state, size_t samples)
{
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * samples));
    state.counters["samples"] = static_cast<double>(samples);
}

void BM_UlawEncode(benchmark::State& state)
{
    auto in = linearSamples(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> out(in.size());
    for (auto _ : state) {
        for (size_t i = 0; i < in.size(); ++i)
            out[i] = linearToUlaw(in[i]);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    perSample(state, in.size());
}
BENCHMARK(BM_UlawEncode)->Arg(160)->Arg(4096);

void BM_UlawDecode(benchmark::State& state)
{
    auto in = ulawSamples(static_cast<size_t>(state.range(0)));
    std::vector<int> out(in.size());
    for (auto _ : state) {
        for (size_t i = 0; i < in.size(); ++i)
            out[i] = ulawToLinear(in[i]);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    perSample(state, in.size());
}
BENCHMARK(BM_UlawDecode)->Arg(160)->Arg(4096);

// Wrap mode 16, the device side of readAudio: 16-bit little-endian to µ-law.
void BM_Wrap16Read(benchmark::State& state)
{
    auto n = static_cast<size_t>(state.range(0));
    auto lin = linearSamples(n);
    std::vector<uint8_t> device(2 * n), out(n);
    for (size_t i = 0; i < n; ++i) {
        auto s = static_cast<uint16_t>(static_cast<int16_t>(lin[i]));
        device[2 * i] = static_cast<uint8_t>(s);
        device[2 * i + 1] = static_cast<uint8_t>(s >> 8);
    }
    for (auto _ : state) {
        linear16ToUlaw(device.data(), out.data(), static_cast<int>(n));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    perSample(state, n);
}
BENCHMARK(BM_Wrap16Read)->Arg(160)->Arg(4096);

// Wrap mode 16, the device side of writeAudio: µ-law to 16-bit little-endian.
void BM_Wrap16Write(benchmark::State& state)
{
    auto n = static_cast<size_t>(state.range(0));
    auto in = ulawSamples(n);
    std::vector<uint8_t> device(2 * n);
    for (auto _ : state) {
        ulawToLinear16(in.data(), device.data(), static_cast<int>(n));
        benchmark::DoNotOptimize(device.data());
        benchmark::ClobberMemory();
    }
    perSample(state, n);
}
BENCHMARK(BM_Wrap16Write)->Arg(160)->Arg(4096);

void BM_DtmfTone(benchmark::State& state)
{
    uint8_t tone[dtmfToneSamples];
    const char keys[] = "123A456B789C*0#D";
    size_t k = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(generateDtmfTone(tone, keys[k++ & 15]));
        benchmark::ClobberMemory();
    }
    perSample(state, dtmfToneSamples);
}
BENCHMARK(BM_DtmfTone);

void BM_Mixing(benchmark::State& state)
{
    auto n = static_cast<size_t>(state.range(0));
    auto in = ulawSamples(n), out = ulawSamples(2 * n);
    std::vector<uint8_t> mixed(n);
    Word both{0}; // read per sample, as the playback slave reads the shared word
    for (auto _ : state) {
        mixSamples(in.data(), out.data() + n, mixed.data(), n, both);
        benchmark::DoNotOptimize(mixed.data());
        benchmark::ClobberMemory();
    }
    perSample(state, n);
}
BENCHMARK(BM_Mixing)->Arg(160)->Arg(4096);

// The line benchmarks run over what the load benchmark sends: marked audio
// with a DLE every 50 bytes.
std::vector<uint8_t> markedAudio(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t at = 0; at < n; at += 160)
        bench::makeMarkedChunk(v.data() + at, std::min<size_t>(160, n - at), static_cast<uint32_t>(at / 160), 3);
    return v;
}

// The t2a pump's decoding of a line stream: doubled audio with a touchtone
// code every 1000 bytes.  Counted per line byte.
void BM_LineDecoding(benchmark::State& state)
{
    auto audio = markedAudio(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> line(2 * audio.size());
    line.resize(doubleDleBytes(audio.data(), audio.size(), line.data()));
    for (size_t at = 1000; at + 1 < line.size(); at += 1000) {
        if (line[at - 1] == lineDle) // keep a doubled DLE whole
            ++at;
        line.insert(line.begin() + static_cast<long>(at), {lineDle, '5'});
    }
    uint8_t chunk[65536];
    for (auto _ : state) {
        LineDecoder decoder;
        size_t fill = 0, codes = 0;
        for (uint8_t b : line) {
            switch (decodeLineByte(decoder, b)) {
            case LineByte::Audio:
                chunk[fill++ & 0xFFFF] = b;
                break;
            case LineByte::Code:
                if (classifyLineCode(b) == LineCode::DataDle)
                    chunk[fill++ & 0xFFFF] = b;
                else
                    ++codes;
                break;
            case LineByte::Escape:
                break;
            }
        }
        benchmark::DoNotOptimize(chunk);
        benchmark::DoNotOptimize(fill);
        benchmark::DoNotOptimize(codes);
        benchmark::ClobberMemory();
    }
    perSample(state, line.size());
}
BENCHMARK(BM_LineDecoding)->Arg(160)->Arg(4096);

// The a2t pump's framing of a chunk for the line.
void BM_DleDoubling(benchmark::State& state)
{
    auto audio = markedAudio(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> line(2 * audio.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(doubleDleBytes(audio.data(), audio.size(), line.data()));
        benchmark::ClobberMemory();
    }
    perSample(state, audio.size());
}
BENCHMARK(BM_DleDoubling)->Arg(160)->Arg(4096);

// sipline's tick for its lines' far-end audio: each line's packet lands in
// its playout buffer and the line takes a frame.  Between ticks the lines'
// buffers are pushed out of the caches, as the 20 ms the machine spends on
// its other processes (the daemons of every call) does; the figure is then
// mostly the memory a frame touches.
void BM_PlayoutTick(benchmark::State& state)
{
    auto lines = static_cast<size_t>(state.range(0));
    std::vector<sipline::Playout> playouts;
    playouts.reserve(lines);
    for (size_t i = 0; i < lines; i++)
        playouts.emplace_back(320, 1600);
    auto voice = ulawSamples(sipline::frameSamples);
    std::vector<uint8_t> out;
    std::vector<uint8_t> other(32u << 20, 1);
    uint32_t ts = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (size_t i = 0; i < other.size(); i += 64)
            other[i]++;
        state.ResumeTiming();
        for (auto& p : playouts) {
            p.put(1, ts, voice);
            out.clear();
            p.takeFrame(out);
        }
        ts += sipline::frameSamples;
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    perSample(state, lines * sipline::frameSamples);
}
BENCHMARK(BM_PlayoutTick)->Arg(50);

} // namespace

namespace {

class MarkdownReporter : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context&) override
    {
        printf("| benchmark | samples per call | ns per call | ns per sample | × real time of one call |\n");
        printf("|---|---:|---:|---:|---:|\n");
        return true;
    }
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& r : runs) {
            if (r.error_occurred || r.iterations == 0 || r.run_type != Run::RT_Iteration)
                continue;
            auto it = r.counters.find("samples");
            double samples = it == r.counters.end() ? 1 : static_cast<double>(it->second);
            double nsPerCall = r.cpu_accumulated_time / static_cast<double>(r.iterations) * 1e9;
            double nsPerSample = nsPerCall / samples;
            printf("| %s | %.0f | %.1f | %.2f | %.0f |\n", r.benchmark_name().c_str(), samples, nsPerCall,
                   nsPerSample, 1e9 / nsPerSample / bytesPerSecond);
        }
        fflush(stdout);
    }
};

} // namespace

int main(int argc, char** argv)
{
    bool markdown = false;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--markdown") == 0)
            markdown = true;
        else
            args.push_back(argv[i]);
    }
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    if (benchmark::ReportUnrecognizedArguments(n, args.data()))
        return 2;
    if (markdown) {
        MarkdownReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
    } else {
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    return 0;
}
