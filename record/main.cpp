// record-daemon: records the sound device into the outgoing tape file.
//
// The server creates the file, carries out the start request, forks the
// slave that records, and watches the flag byte and the running word until
// taping ends; then it stops the slave and closes the file.
#include <cerrno>
#include <cstdio>
#include <sched.h>
#include <sys/wait.h>

#include "audio_io.h"
#include "control_block.h"
#include "daemon_util.h"
#include "slave.h"

namespace {

Recording recording;
pid_t slavePid = 0;

// FlagActive is set before the fork, so the slave's first chunk is taped.
void startRecording()
{
    markStarted(recording.cb->recordFlags);
    pid_t pid = forkWorker();
    if (pid < 0) {
        perror("record fork");
        writeWord(recording.cb->recordRunning, 0);
        return;
    }
    if (pid == 0)
        runRecordSlave(recording);
    slavePid = pid;
}

// Polls without sleeping, yielding the processor between polls, so a stop
// request is acknowledged as soon as the server is scheduled.
void waitWhileRecording(ControlBlock* cb)
{
    while (readWord(cb->recordRunning)) {
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

int main(int argc, char** argv)
{
    prepareDaemonProcess();
    if (argc != 4) {
        printf("Orvex Record daemon - can only be invoked by Orvex itself\n\n");
        return 0;
    }

    recording.soundFd = argumentValue(argv[1]);
    recording.chunkSize = argumentValue(argv[2]);
    int segmentId = argumentValue(argv[3]);
    if (!chunkSizeValid(recording.chunkSize, recordServerPrefix))
        return 1;
    ControlBlock* cb = attachControlBlock(segmentId, recordServerPrefix);
    if (!cb)
        return 1;
    recording.cb = cb;
    setWrapMode(static_cast<int>(readWord(cb->wrapMode)));

    writeWord(cb->recordRunning, 1);
    writeWord(cb->errorFlag, 0);

    recording.outgoingPath = pathFrom(cb->outgoingPath);
    recording.outgoingTape = openFile(recording.outgoingPath, FileMode::Create);
    if (!recording.outgoingTape) {
        fprintf(stderr, "%sCan't open tape file %s (outgoing)\n", recordServerPrefix, recording.outgoingPath.text);
        writeWord(cb->errorFlag, 1);
        return 1;
    }
    setFileOwnership(recordServerPrefix, *cb, recording.outgoingTape, recording.outgoingPath);

    if (flagSet(cb->recordFlags, FlagStartRequest)) {
        startRecording();
        // The text names playback in this daemon too; the application reads it as it is.
        printf("%sPID (audio playback) = %i\n", recordServerPrefix, static_cast<int>(slavePid));
        waitWhileRecording(cb);
    }

    writeWord(cb->recordRunning, 0);
    if (slavePid > 0) {
        while (waitpid(slavePid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    fclose(recording.outgoingTape);
    printDying(recordServerPrefix);
    return 0;
}
