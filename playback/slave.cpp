#include "slave.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <unistd.h>

#include "audio_io.h"
#include "mixing.h"

namespace {

// With nothing to play from a tape that is a quiet FIFO or device, a pass
// sleeps this long instead of spinning.
constexpr useconds_t idleMicroseconds = 1000;

// Sized for the largest chunk once; only the pages a chunk uses are touched.
uint8_t ingoingBuffer[maxChunkSize];
uint8_t outgoingBuffer[maxChunkSize];
uint8_t outputBuffer[maxChunkSize];

// One stream read.  A tape that is a FIFO whose writer is quiet has nothing
// yet; that is not a read error.
size_t readTape(uint8_t* buffer, size_t count, FILE* tape)
{
    size_t n = fread(buffer, 1, count, tape);
    if (ferror(tape) && (errno == EAGAIN || errno == EWOULDBLOCK))
        clearerr(tape);
    return n;
}

// One pass: one read of each side still before its end, mixed into output.
// Returns the samples placed there.
size_t mixChunk(const Playback& p, uint8_t* output)
{
    const auto chunk = static_cast<size_t>(p.chunkSize);
    size_t inCount = 0;
    size_t outCount = 0;
    if (!readWord(p.cb->outgoingOnly) && !feof(p.ingoingTape))
        inCount = readTape(ingoingBuffer, chunk, p.ingoingTape);
    if (!feof(p.outgoingTape))
        outCount = readTape(outgoingBuffer, chunk, p.outgoingTape);
    size_t count = mixCount(readWord(p.cb->outgoingOnly) != 0, inCount, outCount);
    mixSamples(ingoingBuffer, outgoingBuffer, output, count, p.cb->outgoingOnly);
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

bool playing(const Playback& p) { return readWord(p.cb->playRunning) && !shutdownRequested(); }

// Hands a chunk to the device.  The write blocks while the device has no
// room, which paces the slave; the server's stopWorker ends such a wait
// when playing ends.  False when playing ended before the device took any
// of the chunk.
bool playChunk(const Playback& p, size_t n)
{
    for (;;) {
        if (!playing(p))
            return false;
        // A failed or short write still counts: the position follows the
        // tape, not the speaker.
        if (writeAudio(p.soundFd, outputBuffer, static_cast<int>(n)) >= 0 || errno != EINTR)
            return true;
    }
}

} // namespace

void runPlaybackSlave(const Playback& p)
{
    ControlBlock* cb = p.cb;
    while (playing(p) && !feof(p.ingoingTape) && !feof(p.outgoingTape)) {
        size_t n = mixChunk(p, outputBuffer);
        if (n > 0) {
            if (!playChunk(p, n))
                break;
            writeWord(cb->tapePosition, readWord(cb->tapePosition) + static_cast<uint32_t>(n));
        }
        if (reportReadErrors(p)) {
            // Before playRunning goes to 0, so whoever sees the end can read why.
            writeWord(cb->errorFlag, 1);
            break;
        }
        if (n == 0 && !feof(p.ingoingTape) && !feof(p.outgoingTape))
            usleep(idleMicroseconds);
    }
    writeWord(cb->playRunning, 0);
    printDying(playbackSlavePrefix);
    exit(0);
}
