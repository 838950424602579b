// Mixing the two sides of the tape into the one signal the speaker plays.
//
// Pure functions over buffers: no streams, no shared record.  The mix is
// the sum of the two decoded samples, encoded again; sums beyond 16 bits
// are saturated by the encoder's clip, so nothing here clips on its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "audio_io.h"
#include "control_block.h"

// One instant of the tape: the remote party's and the local user's sample.
inline uint8_t mixSample(uint8_t ingoing, uint8_t outgoing)
{
    return linearToUlaw(ulawToLinear(ingoing) + ulawToLinear(outgoing));
}

// output[i] = mixSample(ingoing[i], outgoing[i]) for i < count, or
// outgoing[i] alone while `outgoingOnly` is set: the application may switch
// to the outgoing side at any sample, so the word is read for every one.
// output may be one of the inputs.
void mixSamples(const uint8_t* ingoing, const uint8_t* outgoing, uint8_t* output, size_t count,
                const Word& outgoingOnly);

// Samples of one pass that are played: all the outgoing file gave when it is
// played alone; otherwise only the instants both files gave (the rest of the
// longer read is consumed and dropped).
size_t mixCount(bool outgoingOnly, size_t inCount, size_t outCount);
