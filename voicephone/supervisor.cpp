#include "supervisor.h"

#include <cstdio>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "daemon_util.h"
#include "dtmf.h"
#include "tape_math.h"

namespace {

constexpr useconds_t passMicroseconds = 10000;

bool tapeOpen(const Call& call) { return call.ingoingTape && call.outgoingTape; }

// Navigation ignores the results of its seeks: a failed seek leaves the
// file where it was, and the record says where it was asked to go.
void seekBoth(Call& call, uint32_t position)
{
    fseek(call.ingoingTape, static_cast<long>(position), SEEK_SET);
    fseek(call.outgoingTape, static_cast<long>(position), SEEK_SET);
}

// The three positions in the order the application may rely on.  Release
// stores keep each behind the stores made before it.
void storePositions(ControlBlock& cb, uint32_t position)
{
    publishWord(cb.tapePosition, position);
    publishWord(cb.outgoingPosition, position);
    publishWord(cb.ingoingPosition, position);
}

void closeAudioDevice(const ControlBlock& cb)
{
    int audioFd = static_cast<int>(readWord(cb.audioFd));
    if (audioFd == 0)
        return; // nothing to close
    printf("%sClosing the audio device in this process...", voicePhonePrefix);
    printf(close(audioFd) < 0 ? "failure\n" : "success\n");
}

bool fileSize(const PathName& path, uint64_t& size)
{
    struct stat st;
    if (!path.valid || stat(path.text, &st) < 0)
        return false;
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

void prepareTape(Call& call)
{
    ControlBlock& cb = *call.cb;
    PathName ingoing = pathFrom(cb.ingoingPath);
    PathName outgoing = pathFrom(cb.outgoingPath);
    bool failed = false;

    uint64_t ingoingSize = 0;
    uint64_t outgoingSize = 0;
    if (fileSize(ingoing, ingoingSize) && fileSize(outgoing, outgoingSize)) {
        writeWord(cb.tapeLength, tapeLengthFromSizes(ingoingSize, outgoingSize));
    } else {
        fprintf(stderr, "%sCan't determine length of tape\n", voicePhonePrefix);
        writeWord(cb.errorFlag, 1);
        failed = true;
    }

    call.ingoingTape = openFile(ingoing, FileMode::Update);
    if (!call.ingoingTape) {
        fprintf(stderr, "%sCan't open tape file %s (ingoing)\n", voicePhonePrefix, ingoing.text);
        writeWord(cb.errorFlag, 1);
        failed = true;
    } else {
        setFileOwnership(voicePhonePrefix, cb, call.ingoingTape, ingoing);
    }

    if (!failed) {
        call.outgoingTape = openFile(outgoing, FileMode::Update);
        if (!call.outgoingTape) {
            fprintf(stderr, "%sCan't open tape file %s (outgoing)\n", voicePhonePrefix, outgoing.text);
            writeWord(cb.errorFlag, 1);
        } else {
            setFileOwnership(voicePhonePrefix, cb, call.outgoingTape, outgoing);
        }
    }

    if (tapeOpen(call))
        tapeSeek(call, readWord(cb.tapePosition));
}

// One pass of the loop over the tape: each command starts from the state the
// one before left, and a command that finds taping active waits for a pass
// after it has stopped.
void serveTape(Call& call)
{
    ControlBlock& cb = *call.cb;
    if (readWord(cb.skipBack) != 0 && !flagSet(cb.recordFlags, FlagActive))
        tapeSkipBack(call);
    if (readWord(cb.rewindRequest) != 0 && !flagSet(cb.recordFlags, FlagActive))
        tapeRewind(call);
    if (readWord(cb.skipForward) != 0 && !flagSet(cb.recordFlags, FlagActive))
        tapeSkipForward(call);
    if (readWord(cb.endRequest) != 0 && !flagSet(cb.recordFlags, FlagActive))
        tapeToEnd(call);
    markStarted(cb.recordFlags);
    markStopped(cb.recordFlags);
}

void serveDtmf(ControlBlock& cb)
{
    if (acquireWord(cb.dtmfPending) != 0)
        return; // the a2t pump still reads dtmfTone
    char key = static_cast<char>(readByte(cb.dtmfKey));
    if (key == 0)
        return;
    printf("%sSend request for DTMF '%c'\n", voicePhonePrefix, key);
    if (generateDtmfTone(cb.dtmfTone, key) > 0)
        publishWord(cb.dtmfPending, 1); // after the tone bytes
}

void waitForPump(pid_t pid)
{
    if (pid > 0)
        waitpid(pid, nullptr, 0);
}

void closeTape(FILE*& tape)
{
    if (tape)
        fclose(tape);
    tape = nullptr;
}

} // namespace

void prepareCall(Call& call)
{
    ControlBlock& cb = *call.cb;
    bool answerMode = readWord(cb.answerMode) != 0;
    if (answerMode) {
        printf("%sRunning in answer mode\n", voicePhonePrefix);
        closeAudioDevice(cb);
    }

    writeWord(cb.phoneUp, 0);
    writeWord(cb.stopRequest, 0);
    writeWord(cb.holdAudio, 0);
    writeWord(cb.tapeFull, 0);
    writeWord(cb.errorFlag, 0);
    writeWord(cb.recordFlags, 0);
    writeWord(cb.t2aRunning, 1);
    writeWord(cb.a2tRunning, 1);
    cb.remoteCode[0] = '\0';
    writeWord(cb.codeComplete, 0);
    writeByte(cb.dtmfKey, 0);
    writeWord(cb.dtmfPending, 0);

    if (answerMode) {
        writeWord(cb.messageDone, 0);
        writeWord(cb.messagePlaying, 0);
        writeWord(cb.messageStart, 0);
        writeWord(cb.responseDone, 0);
        writeWord(cb.responseRecording, 0);
        writeWord(cb.responseStart, 0);
        writeWord(cb.responseStop, 0);
        writeWord(cb.messageStop, 0);
    } else {
        prepareTape(call);
    }
}

void announcePumps(const Call& call)
{
    publishWord(call.cb->phoneUp, 1); // after the start-up clearing
    printf("%sPID (ttyI -> audio) = %i, PID (audio -> ttyI) = %i\n", voicePhonePrefix, static_cast<int>(call.t2aPid),
           static_cast<int>(call.a2tPid));
}

void superviseCall(Call& call)
{
    ControlBlock& cb = *call.cb;
    while ((readWord(cb.t2aRunning) != 0 || readWord(cb.a2tRunning) != 0) && readWord(cb.stopRequest) == 0) {
        if (tapeOpen(call))
            serveTape(call);
        serveDtmf(cb);
        usleep(passMicroseconds);
    }
}

void endCall(Call& call)
{
    writeWord(call.cb->t2aRunning, 0);
    writeWord(call.cb->a2tRunning, 0);
    waitForPump(call.t2aPid);
    waitForPump(call.a2tPid);
    closeTape(call.ingoingTape);
    closeTape(call.outgoingTape);
    printDying(voicePhonePrefix);
}

void tapeSkipBack(Call& call)
{
    ControlBlock& cb = *call.cb;
    uint32_t position = skipBackTarget(readWord(cb.tapePosition), readWord(cb.skipBack));
    seekBoth(call, position);
    publishWord(cb.skipBack, 0);
    storePositions(cb, position);
}

void tapeRewind(Call& call)
{
    ControlBlock& cb = *call.cb;
    publishWord(cb.rewindDone, 0);
    seekBoth(call, 0);
    publishWord(cb.outgoingPosition, 0);
    publishWord(cb.ingoingPosition, 0);
    publishWord(cb.tapePosition, 0);
    publishWord(cb.rewindRequest, 0);
    publishWord(cb.rewindDone, 1); // the positions are in place
}

void tapeSkipForward(Call& call)
{
    ControlBlock& cb = *call.cb;
    uint32_t position =
        skipForwardTarget(readWord(cb.tapePosition), readWord(cb.skipForward), readWord(cb.tapeLength));
    seekBoth(call, position);
    publishWord(cb.skipForward, 0);
    storePositions(cb, position);
}

void tapeToEnd(Call& call)
{
    ControlBlock& cb = *call.cb;
    uint32_t length = readWord(cb.tapeLength);
    publishWord(cb.endDone, 0);
    seekBoth(call, length);
    publishWord(cb.outgoingPosition, length);
    publishWord(cb.ingoingPosition, length);
    publishWord(cb.tapePosition, length);
    publishWord(cb.endRequest, 0);
    publishWord(cb.endDone, 1); // the positions are in place
}

void tapeSeek(Call& call, uint32_t position)
{
    if (position > readWord(call.cb->tapeLength))
        return; // beyond the tape: nothing moves
    seekBoth(call, position);
    storePositions(*call.cb, position);
}
