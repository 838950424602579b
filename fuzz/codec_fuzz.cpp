// The µ-law codec on arbitrary samples and sample buffers.
//
// Invariants: decoding stays within ±32124; encoding never yields 0x00 and
// keeps the sign; encoding a decoded byte gives the byte back (but for the
// two zeros 0x7F → 0xFF and the trapped 0x00 → 0x02); any integer, also far
// beyond 16 bits, encodes like its clipped value; decoding an encoded sample
// lands within one quantisation step of it; the 16-bit conversions agree
// with the scalar routines and stay within their buffers.
#include "audio_io.h"
#include "fuzz_check.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void checkSample(int sample)
{
    uint8_t code = linearToUlaw(sample);
    check(code != 0x00);
    long clipped = sample;
    if (clipped > 32635)
        clipped = 32635;
    if (clipped < -32635)
        clipped = -32635;
    check(code == linearToUlaw(static_cast<int>(clipped)));
    int back = ulawToLinear(code);
    check(back >= -32124 && back <= 32124);
    // The sign survives, except for values that quantise to zero.
    if (back != 0)
        check((back < 0) == (clipped < 0));
    // One step of the widest segment is 1024; the clip adds 32635 − 32124.
    // The zero trap moves the loudest negative code 0x00 to 0x02, two steps
    // further.
    long error = clipped - back;
    if (error < 0)
        error = -error;
    check(error <= (code == 0x02 ? 3072 : 1024));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool tableChecked = false;
    if (!tableChecked) {
        for (int b = 0; b < 256; ++b) {
            int v = ulawToLinear(static_cast<uint8_t>(b));
            check(v >= -32124 && v <= 32124);
            uint8_t again = linearToUlaw(v);
            uint8_t expected = b == 0x7F ? 0xFF : b == 0x00 ? 0x02 : static_cast<uint8_t>(b);
            check(again == expected);
        }
        tableChecked = true;
    }
    for (size_t i = 0; i + 4 <= size; i += 4) {
        int32_t sample;
        memcpy(&sample, data + i, 4);
        checkSample(sample);
        // Sums of two decoded samples, as the playback mixer forms them.
        checkSample(ulawToLinear(data[i]) + ulawToLinear(data[i + 1]));
    }
    if (size / 2 > static_cast<size_t>(maxChunkSize))
        return 0;
    // Exact-size heap buffers, so a conversion that overruns trips the sanitizer.
    int samples = static_cast<int>(size / 2);
    std::vector<uint8_t> ulaw(static_cast<size_t>(samples));
    linear16ToUlaw(data, ulaw.data(), samples);
    std::vector<uint8_t> linear(2 * static_cast<size_t>(samples));
    ulawToLinear16(ulaw.data(), linear.data(), samples);
    for (int i = 0; i < samples; ++i) {
        auto in = static_cast<int16_t>(static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8)));
        check(ulaw[i] == linearToUlaw(in));
        auto out = static_cast<int16_t>(static_cast<uint16_t>(linear[2 * i] | (linear[2 * i + 1] << 8)));
        check(out == ulawToLinear(ulaw[i]));
    }
    return 0;
}
