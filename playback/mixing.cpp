#include "mixing.h"

void mixSamples(const uint8_t* ingoing, const uint8_t* outgoing, uint8_t* output, size_t count,
                const Word& outgoingOnly)
{
    for (size_t i = 0; i < count; ++i)
        output[i] = readWord(outgoingOnly) ? outgoing[i] : mixSample(ingoing[i], outgoing[i]);
}

size_t mixCount(bool outgoingOnly, size_t inCount, size_t outCount)
{
    if (outgoingOnly)
        return outCount;
    return inCount < outCount ? inCount : outCount;
}
