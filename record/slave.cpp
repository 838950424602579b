#include "slave.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <unistd.h>

#include "audio_io.h"
#include "room.h"

namespace {

// A device that reads as ended is asked again after this long, as the
// VoicePhone daemon's audio-to-ttyI pump does, instead of spinning.
constexpr useconds_t idleMicroseconds = 1000;

// Sized for the largest chunk once; only the pages a chunk uses are touched.
uint8_t buffer[maxChunkSize];

// tapeFull and errorFlag are set before FlagActive goes off, so whoever sees
// it go off can read the reason.  `written` counts what this slave wrote:
// the file was created empty, so a file shorter than that was cut by
// someone else.
void takeChunk(const Recording& r, uint32_t n, uint64_t& written)
{
    ControlBlock* cb = r.cb;
    uint32_t position = readWord(cb->outgoingPosition);
    long long size;
    TapeFileState state;
    if (!chunkFits(readWord(cb->tapeLimit), position, n)) {
        writeWord(cb->tapeFull, 1);
        clearActive(cb->recordFlags);
    } else if ((state = tapeFileState(fileno(r.outgoingTape), written, &size)) != TapeFileState::Usable) {
        writeWord(cb->errorFlag, 1);
        clearActive(cb->recordFlags);
        fprintf(stderr, "%sTape file %s %s\n", recordSlavePrefix, r.outgoingPath.text, describeTapeFileState(state));
    } else if (size_t stored = fwrite(buffer, 1, n, r.outgoingTape); stored < n) {
        undoShortTapeWrite(r.outgoingTape, size, written, stored);
        writeWord(cb->errorFlag, 1);
        clearActive(cb->recordFlags);
        fprintf(stderr, "%sError writing to file %s\n", recordSlavePrefix, r.outgoingPath.text);
    } else {
        written += n;
        writeWord(cb->outgoingPosition, position + n);
    }
    writeWord(cb->tapeLength, readWord(cb->outgoingPosition));
    writeWord(cb->tapePosition, readWord(cb->outgoingPosition));
}

// Waits a bounded time for the device to deliver, so a device that delivers
// nothing cannot hold up a stop.  An unsupported wrap mode is not waited
// for: the read says so at once.
bool deviceReady(const Recording& r)
{
    if (!wrapModeSupported())
        return true;
    int ready = waitForSound(r.soundFd, false, r.chunkSize);
    return ready > 0 || (ready < 0 && errno != EINTR); // a failed wait: the read tells
}

} // namespace

void runRecordSlave(const Recording& r)
{
    ControlBlock* cb = r.cb;
    uint64_t written = 0;
    while (readWord(cb->recordRunning) && !shutdownRequested()) {
        if (!deviceReady(r))
            continue;
        int n = readAudio(r.soundFd, buffer, r.chunkSize);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                continue;
            perror("record");
            writeWord(cb->recordRunning, 0);
            exit(0);
        }
        // A chunk read while taping is off is dropped.
        if (flagSet(cb->recordFlags, FlagActive))
            takeChunk(r, static_cast<uint32_t>(n), written);
        if (n == 0)
            usleep(idleMicroseconds);
    }
    writeWord(cb->recordRunning, 0);
    printDying(recordSlavePrefix);
    exit(0);
}
