// playback-daemon: plays the tape to the sound device, both sides mixed or
// the outgoing side alone.  Started by the controlling application as
//   playback-daemon <sound fd> <chunk size> <segment id>
#include <cstdio>

#include "audio_io.h"
#include "server.h"

int main(int argc, char** argv)
{
    prepareDaemonProcess();
    if (argc != 4) {
        printf("Orvex Playback daemon - can only be invoked by Orvex itself\n\n");
        return 0;
    }
    printBanner(playbackServerPrefix, 1, 0, 0, 2);

    Playback playback;
    playback.soundFd = argumentValue(argv[1]);
    playback.chunkSize = argumentValue(argv[2]);
    int segmentId = argumentValue(argv[3]);
    if (!chunkSizeValid(playback.chunkSize, playbackServerPrefix))
        return 1;
    playback.cb = attachControlBlock(segmentId, playbackServerPrefix);
    if (!playback.cb)
        return 1;
    setWrapMode(static_cast<int>(readWord(playback.cb->wrapMode)));
    return runPlaybackServer(playback);
}
