#include "tape_writer.h"


#include "daemon_util.h"
#include "tape_math.h"

namespace {

void stopTaping(ControlBlock& cb)
{
    writeWord(cb.errorFlag, 1); // before FlagActive goes off, so whoever sees it go can read why
    clearActive(cb.recordFlags);
}

} // namespace

void tapeChunk(ControlBlock& cb, TapeSide side, FILE* file, const uint8_t* data, uint32_t count, const char* prefix)
{
    const bool ingoing = side == TapeSide::Ingoing;
    Word& positionWord = ingoing ? cb.ingoingPosition : cb.outgoingPosition;
    uint32_t position = readWord(positionWord);
    if (!tapeHasRoom(readWord(cb.tapeLimit), position, count)) {
        writeWord(cb.tapeFull, 1);
        clearActive(cb.recordFlags);
    } else {
        int fd = fileno(file);
        long long sizeBefore;
        TapeFileState state = tapeFileState(fd, position, &sizeBefore);
        if (state != TapeFileState::Usable) {
            stopTaping(cb);
            fprintf(stderr, "%sTape file %s %s\n", prefix, pathFrom(ingoing ? cb.ingoingPath : cb.outgoingPath).text,
                    describeTapeFileState(state));
        } else {
            size_t stored = fwrite(data, 1, count, file);
            if (stored < count) {
                undoShortTapeWrite(file, sizeBefore, position, stored);
                stopTaping(cb);
                fprintf(stderr, "%sError writing to file %s\n", prefix,
                        pathFrom(ingoing ? cb.ingoingPath : cb.outgoingPath).text);
            } else {
                writeWord(positionWord, position + count);
            }
        }
    }
    TapeExtent tape =
        tapeExtentAfterWrite(readWord(cb.ingoingPosition), readWord(cb.outgoingPosition), readWord(cb.tapeLength));
    writeWord(cb.tapeLength, tape.length);
    writeWord(cb.tapePosition, tape.position);
}
