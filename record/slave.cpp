#include "slave.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "audio_io.h"
#include "room.h"

namespace {

// Sized for the largest chunk once; only the pages a chunk uses are touched.
uint8_t buffer[maxChunkSize];

// tapeFull and errorFlag are set before FlagActive goes off, so whoever sees
// it go off can read the reason.
void takeChunk(const Recording& r, uint32_t n)
{
    ControlBlock* cb = r.cb;
    uint32_t position = readWord(cb->outgoingPosition);
    if (!chunkFits(readWord(cb->tapeLimit), position, n)) {
        writeWord(cb->tapeFull, 1);
        clearActive(cb->recordFlags);
    } else if (fwrite(buffer, 1, n, r.outgoingTape) < n) {
        writeWord(cb->errorFlag, 1);
        clearActive(cb->recordFlags);
        fprintf(stderr, "%sError writing to file %s\n", recordSlavePrefix, r.outgoingPath.text);
    } else {
        writeWord(cb->outgoingPosition, position + n);
    }
    writeWord(cb->tapeLength, readWord(cb->outgoingPosition));
    writeWord(cb->tapePosition, readWord(cb->outgoingPosition));
}

} // namespace

void runRecordSlave(const Recording& r)
{
    ControlBlock* cb = r.cb;
    while (readWord(cb->recordRunning)) {
        int n = readAudio(r.soundFd, buffer, r.chunkSize);
        if (n < 0) {
            if (errno == EAGAIN)
                continue;
            perror("record");
            writeWord(cb->recordRunning, 0);
            exit(0);
        }
        // A chunk read while taping is off is dropped.
        if (flagSet(cb->recordFlags, FlagActive))
            takeChunk(r, static_cast<uint32_t>(n));
    }
    writeWord(cb->recordRunning, 0);
    printDying(recordSlavePrefix);
    exit(0);
}
