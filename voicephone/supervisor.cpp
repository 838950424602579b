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

bool tapeOpen(const Call& call) { return call.tape.ingoing && call.tape.outgoing; }

// Descriptors 0, 1 and 2 are never the audio device: closing one would hand
// its number to the next file opened, and the daemon's own lines would land
// in it.
void closeAudioDevice(const ControlBlock& cb)
{
    int audioFd = static_cast<int>(readWord(cb.audioFd));
    if (audioFd == 0)
        return; // nothing to close
    printf("%sClosing the audio device in this process...", voicePhonePrefix);
    bool standard = audioFd == STDOUT_FILENO || audioFd == STDERR_FILENO;
    printf(standard || close(audioFd) < 0 ? "failure\n" : "success\n");
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

    call.tape.ingoing = openFile(ingoing, FileMode::Update);
    if (!call.tape.ingoing) {
        fprintf(stderr, "%sCan't open tape file %s (ingoing)\n", voicePhonePrefix, ingoing.text);
        writeWord(cb.errorFlag, 1);
        failed = true;
    } else {
        setFileOwnership(voicePhonePrefix, cb, call.tape.ingoing, ingoing);
    }

    if (!failed) {
        call.tape.outgoing = openFile(outgoing, FileMode::Update);
        if (!call.tape.outgoing) {
            fprintf(stderr, "%sCan't open tape file %s (outgoing)\n", voicePhonePrefix, outgoing.text);
            writeWord(cb.errorFlag, 1);
        } else {
            setFileOwnership(voicePhonePrefix, cb, call.tape.outgoing, outgoing);
        }
    }

    if (tapeOpen(call))
        tapeSeek(cb, call.tape, readWord(cb.tapePosition));
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

// A pump that ended while its running word was still set died (a signal, an
// OOM kill): nothing would read the line or the device any more, so the call
// ends.  The look comes before the word is read: a pump that ends normally
// clears its word before it exits.
bool pumpLost(pid_t* pid, const Word& running, const char* name, ControlBlock& cb)
{
    int status = 0;
    if (!workerEnded(pid, &status) || readWord(running) == 0)
        return false;
    reportLostWorker(voicePhonePrefix, name, status, cb);
    return true;
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
    while ((readWord(cb.t2aRunning) != 0 || readWord(cb.a2tRunning) != 0) && readWord(cb.stopRequest) == 0 &&
           !shutdownRequested()) {
        if (pumpLost(&call.t2aPid, cb.t2aRunning, "Pump (ttyI -> audio)", cb) ||
            pumpLost(&call.a2tPid, cb.a2tRunning, "Pump (audio -> ttyI)", cb))
            return;
        if (tapeOpen(call))
            serveTapeCommands(cb, call.tape);
        serveDtmf(cb);
        usleep(passMicroseconds);
    }
}

void endCall(Call& call)
{
    writeWord(call.cb->t2aRunning, 0);
    writeWord(call.cb->a2tRunning, 0);
    waitForWorker(&call.t2aPid);
    waitForWorker(&call.a2tPid);
    closeTape(call.tape.ingoing);
    closeTape(call.tape.outgoing);
    printDying(voicePhonePrefix);
}
