// record-daemon: records the sound device into the outgoing tape file.
// Started by the controlling application as
//   record-daemon <sound fd> <chunk size> <segment id>
#include <cstdio>

#include "audio_io.h"
#include "server.h"

int main(int argc, char** argv)
{
    prepareDaemonProcess();
    if (argc != 4) {
        printf("Orvex Record daemon - can only be invoked by Orvex itself\n\n");
        return 0;
    }

    Recording recording;
    recording.soundFd = argumentValue(argv[1]);
    recording.chunkSize = argumentValue(argv[2]);
    int segmentId = argumentValue(argv[3]);
    if (!chunkSizeValid(recording.chunkSize, recordServerPrefix))
        return 1;
    recording.cb = attachControlBlock(segmentId, recordServerPrefix);
    if (!recording.cb)
        return 1;
    setWrapMode(static_cast<int>(readWord(recording.cb->wrapMode)));
    return runRecordServer(recording);
}
