#include "tape_navigation.h"

#include "tape_math.h"

namespace {

// Navigation ignores the results of its seeks: a failed seek leaves the
// file where it was, and the record says where it was asked to go.
void seekBoth(Tape& tape, uint32_t position)
{
    fseek(tape.ingoing, static_cast<long>(position), SEEK_SET);
    fseek(tape.outgoing, static_cast<long>(position), SEEK_SET);
}

// The three positions in the order the application may rely on.  Release
// stores keep each behind the stores made before it.
void storePositions(ControlBlock& cb, uint32_t position)
{
    publishWord(cb.tapePosition, position);
    publishWord(cb.outgoingPosition, position);
    publishWord(cb.ingoingPosition, position);
}

} // namespace

void serveTapeCommands(ControlBlock& cb, Tape& tape)
{
    if (readWord(cb.skipBack) != 0 && !flagSet(cb.recordFlags, FlagActive))
        tapeSkipBack(cb, tape);
    if (readWord(cb.rewindRequest) != 0 && !flagSet(cb.recordFlags, FlagActive))
        tapeRewind(cb, tape);
    if (readWord(cb.skipForward) != 0 && !flagSet(cb.recordFlags, FlagActive))
        tapeSkipForward(cb, tape);
    if (readWord(cb.endRequest) != 0 && !flagSet(cb.recordFlags, FlagActive))
        tapeToEnd(cb, tape);
    markStarted(cb.recordFlags);
    markStopped(cb.recordFlags);
}

void tapeSkipBack(ControlBlock& cb, Tape& tape)
{
    uint32_t position = skipBackTarget(readWord(cb.tapePosition), readWord(cb.skipBack));
    seekBoth(tape, position);
    publishWord(cb.skipBack, 0);
    storePositions(cb, position);
}

void tapeRewind(ControlBlock& cb, Tape& tape)
{
    publishWord(cb.rewindDone, 0);
    seekBoth(tape, 0);
    publishWord(cb.outgoingPosition, 0);
    publishWord(cb.ingoingPosition, 0);
    publishWord(cb.tapePosition, 0);
    publishWord(cb.rewindRequest, 0);
    publishWord(cb.rewindDone, 1); // the positions are in place
}

void tapeSkipForward(ControlBlock& cb, Tape& tape)
{
    uint32_t position =
        skipForwardTarget(readWord(cb.tapePosition), readWord(cb.skipForward), readWord(cb.tapeLength));
    seekBoth(tape, position);
    publishWord(cb.skipForward, 0);
    storePositions(cb, position);
}

void tapeToEnd(ControlBlock& cb, Tape& tape)
{
    uint32_t length = readWord(cb.tapeLength);
    publishWord(cb.endDone, 0);
    seekBoth(tape, length);
    publishWord(cb.outgoingPosition, length);
    publishWord(cb.ingoingPosition, length);
    publishWord(cb.tapePosition, length);
    publishWord(cb.endRequest, 0);
    publishWord(cb.endDone, 1); // the positions are in place
}

void tapeSeek(ControlBlock& cb, Tape& tape, uint32_t position)
{
    uint32_t length = readWord(cb.tapeLength);
    if (position > length)
        position = length;
    seekBoth(tape, position);
    storePositions(cb, position);
}
