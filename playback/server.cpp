#include "server.h"

#include <cerrno>
#include <cstdint>
#include <unistd.h>

#include "slave.h"

namespace {

// Past the end of a file is accepted: the next read there meets the end.
void seekPlayback(Playback& p, uint32_t offset)
{
    if (!readWord(p.cb->outgoingOnly) && p.ingoingTape)
        fseek(p.ingoingTape, static_cast<long>(offset), SEEK_SET);
    fseek(p.outgoingTape, static_cast<long>(offset), SEEK_SET);
    writeWord(p.cb->tapePosition, offset);
}

// FlagActive is set before the fork, so the slave never sees a start that
// has not been acknowledged.
void startPlayback(Playback& p)
{
    markStarted(p.cb->playFlags);
    pid_t pid = forkWorker();
    if (pid < 0) {
        perror("playBack fork");
        writeWord(p.cb->playRunning, 0);
        return;
    }
    if (pid == 0)
        runPlaybackSlave(p);
    p.slavePid = pid;
}

// A slave that ended while playRunning was still set died (a signal, an OOM
// kill): the run ends as if the application had cleared FlagActive.  The
// look comes before the word is read: a slave that ends normally clears the
// word before it exits.
bool slaveLost(Playback& p)
{
    int status = 0;
    if (!workerEnded(&p.slavePid, &status) || !readWord(p.cb->playRunning))
        return false;
    reportLostWorker(playbackServerPrefix, "Slave (audio playback)", status, *p.cb);
    clearActive(p.cb->playFlags);
    return true;
}

// Ends on a stop request (acknowledged here), on FlagActive cleared by the
// application, on playRunning 0 (the end of the tape, or the application),
// on a lost slave, or on a signal.
void waitWhilePlaying(Playback& p)
{
    ControlBlock* cb = p.cb;
    if (!readWord(cb->playRunning))
        return;
    for (;;) {
        if (!flagSet(cb->playFlags, FlagActive) || shutdownRequested() || slaveLost(p))
            return;
        usleep(1000);
        if (markStopped(cb->playFlags))
            return;
        if (!readWord(cb->playRunning))
            return;
    }
}

FILE* openTape(const PathName& path, const char* side, ControlBlock* cb)
{
    FILE* f = openFile(path, FileMode::Read);
    if (!f) {
        fprintf(stderr, "%sCan't open tape file %s (%s)\n", playbackServerPrefix, path.text, side);
        writeWord(cb->errorFlag, 1);
        return nullptr;
    }
    setFileOwnership(playbackServerPrefix, *cb, f, path);
    return f;
}

} // namespace

int runPlaybackServer(Playback& p)
{
    ControlBlock* cb = p.cb;
    writeWord(cb->playRunning, 1);
    writeWord(cb->errorFlag, 0);

    p.ingoingPath = pathFrom(cb->ingoingPath);
    p.outgoingPath = pathFrom(cb->outgoingPath);
    if (!readWord(cb->outgoingOnly)) {
        p.ingoingFile = openTape(p.ingoingPath, "ingoing", cb);
        if (!p.ingoingFile)
            return 1;
        p.ingoingTape = p.ingoingFile;
    }
    p.outgoingTape = openTape(p.outgoingPath, "outgoing", cb);
    if (!p.outgoingTape)
        return 1;

    if (flagSet(cb->playFlags, FlagStartRequest)) {
        // The streams follow what was opened, should outgoingOnly change
        // under us: a stream that was never opened is never read.
        if (!readWord(cb->outgoingOnly) && p.ingoingTape) {
            seekPlayback(p, readWord(cb->tapePosition));
        } else {
            seekPlayback(p, 0);
            p.ingoingTape = p.outgoingTape;
        }
        startPlayback(p);
        printf("%sPID (audio playback) = %i\n", playbackServerPrefix, static_cast<int>(p.slavePid));
        waitWhilePlaying(p);
        if (!flagSet(cb->playFlags, FlagStopped)) {
            // The slave may still be playing (the application cleared
            // FlagActive or playRunning): stop it first, so it adds nothing
            // to the position after the rewind.
            writeWord(cb->playRunning, 0);
            stopWorker(&p.slavePid);
            seekPlayback(p, 0);
        }
    }

    writeWord(cb->playRunning, 0);
    stopWorker(&p.slavePid);
    if (p.ingoingFile)
        fclose(p.ingoingFile);
    fclose(p.outgoingTape);
    printDying(playbackServerPrefix);
    return 0;
}
