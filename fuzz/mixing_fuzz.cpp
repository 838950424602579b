// The playback mix on any pair of tape chunks.
//
// Invariants: each output byte is the encoded sum of the two decoded
// samples; the output may be one of the inputs; silence (0xFF) on one side
// passes the other through but for the two zero codes; the count of a pass
// never exceeds what the sides delivered.
#include <cstring>
#include <vector>

#include "audio_io.h"
#include "fuzz_check.h"
#include "mixing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in{data, size};
    const bool outgoingOnly = in.byte() & 1;
    size_t half = in.size / 2;
    std::vector<uint8_t> ingoing(in.data, in.data + half);
    std::vector<uint8_t> outgoing(in.data + half, in.data + 2 * half);
    std::vector<uint8_t> output(half);
    Word both{0};
    mixSamples(ingoing.data(), outgoing.data(), output.data(), half, both);
    for (size_t i = 0; i < half; ++i) {
        check(output[i] == linearToUlaw(ulawToLinear(ingoing[i]) + ulawToLinear(outgoing[i])));
        check(output[i] == mixSample(outgoing[i], ingoing[i]));
        uint8_t alone = mixSample(0xFF, outgoing[i]);
        check(alone == (outgoing[i] == 0x7F ? 0xFF : outgoing[i] == 0x00 ? 0x02 : outgoing[i]));
    }
    std::vector<uint8_t> inPlace(ingoing);
    mixSamples(inPlace.data(), outgoing.data(), inPlace.data(), half, both);
    check(inPlace == output);

    size_t inCount = ingoing.empty() ? 0 : ingoing[0];
    size_t outCount = outgoing.empty() ? 0 : outgoing[0];
    size_t count = mixCount(outgoingOnly, inCount, outCount);
    check(count <= outCount);
    check(outgoingOnly ? count == outCount : count <= inCount);
    return 0;
}
