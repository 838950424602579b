// playback-daemon: plays the tape to the sound device, both sides mixed or
// the outgoing side alone.
//
// The server opens and positions the tape, carries out the start request,
// forks the slave that plays, and watches the flag byte and the running word
// every millisecond.  A stop request leaves the tape where playing stopped;
// every other end puts it back to its start.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

#include "audio_io.h"
#include "control_block.h"
#include "daemon_util.h"
#include "slave.h"

namespace {

Playback playback;
FILE* ingoingFile = nullptr; // as opened, for closing: ingoingTape may be redirected
pid_t slavePid = 0;

// Past the end of a file is accepted: the next read there meets the end.
void seekPlayback(uint32_t offset)
{
    if (!readWord(playback.cb->outgoingOnly) && playback.ingoingTape)
        fseek(playback.ingoingTape, static_cast<long>(offset), SEEK_SET);
    fseek(playback.outgoingTape, static_cast<long>(offset), SEEK_SET);
    writeWord(playback.cb->tapePosition, offset);
}

// FlagActive is set before the fork, so the slave never sees a start that
// has not been acknowledged.
void startPlayback()
{
    markStarted(playback.cb->playFlags);
    pid_t pid = forkWorker();
    if (pid < 0) {
        perror("playBack fork");
        writeWord(playback.cb->playRunning, 0);
        return;
    }
    if (pid == 0)
        runPlaybackSlave(playback);
    slavePid = pid;
}

void waitForSlave()
{
    if (slavePid <= 0)
        return;
    while (waitpid(slavePid, nullptr, 0) < 0 && errno == EINTR) {
    }
    slavePid = 0;
}

// Ends on a stop request (acknowledged here), on FlagActive cleared by the
// application, or on playRunning 0 (the end of the tape, or the application).
void waitWhilePlaying(ControlBlock* cb)
{
    if (!readWord(cb->playRunning))
        return;
    for (;;) {
        if (!flagSet(cb->playFlags, FlagActive))
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

int main(int argc, char** argv)
{
    prepareDaemonProcess();
    if (argc != 4) {
        printf("Orvex Playback daemon - can only be invoked by Orvex itself\n\n");
        return 0;
    }
    printBanner(playbackServerPrefix, 1, 0, 0, 2);

    playback.soundFd = argumentValue(argv[1]);
    playback.chunkSize = argumentValue(argv[2]);
    int segmentId = argumentValue(argv[3]);
    if (!chunkSizeValid(playback.chunkSize, playbackServerPrefix))
        return 1;
    ControlBlock* cb = attachControlBlock(segmentId, playbackServerPrefix);
    if (!cb)
        return 1;
    playback.cb = cb;
    setWrapMode(static_cast<int>(readWord(cb->wrapMode)));

    writeWord(cb->playRunning, 1);
    writeWord(cb->errorFlag, 0);

    playback.ingoingPath = pathFrom(cb->ingoingPath);
    playback.outgoingPath = pathFrom(cb->outgoingPath);
    if (!readWord(cb->outgoingOnly)) {
        ingoingFile = openTape(playback.ingoingPath, "ingoing", cb);
        if (!ingoingFile)
            return 1;
        playback.ingoingTape = ingoingFile;
    }
    playback.outgoingTape = openTape(playback.outgoingPath, "outgoing", cb);
    if (!playback.outgoingTape)
        return 1;

    if (flagSet(cb->playFlags, FlagStartRequest)) {
        // The streams follow what was opened, should outgoingOnly change
        // under us: a stream that was never opened is never read.
        if (!readWord(cb->outgoingOnly) && playback.ingoingTape) {
            seekPlayback(readWord(cb->tapePosition));
        } else {
            seekPlayback(0);
            playback.ingoingTape = playback.outgoingTape;
        }
        startPlayback();
        printf("%sPID (audio playback) = %i\n", playbackServerPrefix, static_cast<int>(slavePid));
        waitWhilePlaying(cb);
        if (!flagSet(cb->playFlags, FlagStopped)) {
            // The slave may still be playing (the application cleared
            // FlagActive or playRunning): stop it first, so it adds nothing
            // to the position after the rewind.
            writeWord(cb->playRunning, 0);
            waitForSlave();
            seekPlayback(0);
        }
    }

    writeWord(cb->playRunning, 0);
    waitForSlave();
    if (ingoingFile)
        fclose(ingoingFile);
    fclose(playback.outgoingTape);
    printDying(playbackServerPrefix);
    return 0;
}
