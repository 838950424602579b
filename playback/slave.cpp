#include "slave.h"

#include <cstdint>
#include <cstdlib>

#include "audio_io.h"
#include "mixing.h"

namespace {

// Sized for the largest chunk once; only the pages a chunk uses are touched.
uint8_t ingoingBuffer[maxChunkSize];
uint8_t outgoingBuffer[maxChunkSize];
uint8_t outputBuffer[maxChunkSize];

// One pass: one read of each side still before its end, mixed into output.
// Returns the samples placed there.
size_t mixChunk(const Playback& p, uint8_t* output)
{
    const auto chunk = static_cast<size_t>(p.chunkSize);
    size_t inCount = 0;
    size_t outCount = 0;
    if (!readWord(p.cb->outgoingOnly) && !feof(p.ingoingTape))
        inCount = fread(ingoingBuffer, 1, chunk, p.ingoingTape);
    if (!feof(p.outgoingTape))
        outCount = fread(outgoingBuffer, 1, chunk, p.outgoingTape);
    size_t count = mixCount(readWord(p.cb->outgoingOnly) != 0, inCount, outCount);
    // The application may switch to the outgoing side alone at any sample.
    for (size_t i = 0; i < count; ++i)
        output[i] = readWord(p.cb->outgoingOnly) ? outgoingBuffer[i] : mixSample(ingoingBuffer[i], outgoingBuffer[i]);
    return count;
}

// A failed read is not the end of a file, and would otherwise leave the
// slave making empty passes until someone stops it.
bool reportReadErrors(const Playback& p)
{
    bool failed = false;
    if (p.ingoingTape != p.outgoingTape && ferror(p.ingoingTape)) {
        fprintf(stderr, "%sError reading tape file %s\n", playbackSlavePrefix, p.ingoingPath.text);
        failed = true;
    }
    if (ferror(p.outgoingTape)) {
        fprintf(stderr, "%sError reading tape file %s\n", playbackSlavePrefix, p.outgoingPath.text);
        failed = true;
    }
    return failed;
}

} // namespace

void runPlaybackSlave(const Playback& p)
{
    ControlBlock* cb = p.cb;
    while (readWord(cb->playRunning) && !feof(p.ingoingTape) && !feof(p.outgoingTape)) {
        size_t n = mixChunk(p, outputBuffer);
        if (n > 0) {
            // A failed or short device write still counts: the position
            // follows the tape, not the speaker.
            writeAudio(p.soundFd, outputBuffer, static_cast<int>(n));
            writeWord(cb->tapePosition, readWord(cb->tapePosition) + static_cast<uint32_t>(n));
        }
        if (reportReadErrors(p)) {
            // Before playRunning goes to 0, so whoever sees the end can read why.
            writeWord(cb->errorFlag, 1);
            break;
        }
    }
    writeWord(cb->playRunning, 0);
    printDying(playbackSlavePrefix);
    exit(0);
}
