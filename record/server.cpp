#include "server.h"

#include <sched.h>

#include "slave.h"

namespace {

// FlagActive is set before the fork, so the slave's first chunk is taped.
void startRecording(Recording& r)
{
    markStarted(r.cb->recordFlags);
    pid_t pid = forkWorker();
    if (pid < 0) {
        perror("record fork");
        writeWord(r.cb->recordRunning, 0);
        return;
    }
    if (pid == 0)
        runRecordSlave(r);
    r.slavePid = pid;
}

// A slave that ended while recordRunning was still set died (a signal, an
// OOM kill): taping ends as on a write error.  The look comes before the word
// is read: a slave that ends normally clears the word before it exits.
bool slaveLost(Recording& r)
{
    int status = 0;
    if (!workerEnded(&r.slavePid, &status) || !readWord(r.cb->recordRunning))
        return false;
    reportLostWorker(recordServerPrefix, "Slave", status, *r.cb);
    clearActive(r.cb->recordFlags);
    return true;
}

// Polls without sleeping, yielding the processor between polls, so a stop
// request is acknowledged as soon as the server is scheduled.
void waitWhileRecording(Recording& r)
{
    ControlBlock* cb = r.cb;
    while (readWord(cb->recordRunning) && !shutdownRequested() && !slaveLost(r)) {
        uint32_t flags = readWord(cb->recordFlags);
        if (!(flags & FlagActive))
            return;
        if (flags & FlagStopRequest) {
            markStopped(cb->recordFlags);
            return;
        }
        sched_yield();
    }
}

} // namespace

int runRecordServer(Recording& r)
{
    ControlBlock* cb = r.cb;
    writeWord(cb->recordRunning, 1);
    writeWord(cb->errorFlag, 0);

    r.outgoingPath = pathFrom(cb->outgoingPath);
    r.outgoingTape = openFile(r.outgoingPath, FileMode::Create);
    if (!r.outgoingTape) {
        fprintf(stderr, "%sCan't open tape file %s (outgoing)\n", recordServerPrefix, r.outgoingPath.text);
        writeWord(cb->errorFlag, 1);
        return 1;
    }
    setFileOwnership(recordServerPrefix, *cb, r.outgoingTape, r.outgoingPath);

    if (flagSet(cb->recordFlags, FlagStartRequest)) {
        startRecording(r);
        // The text names playback in this daemon too; the application reads it as it is.
        printf("%sPID (audio playback) = %i\n", recordServerPrefix, static_cast<int>(r.slavePid));
        waitWhileRecording(r);
    }

    writeWord(cb->recordRunning, 0);
    waitForWorker(&r.slavePid);
    fclose(r.outgoingTape);
    printDying(recordServerPrefix);
    return 0;
}
