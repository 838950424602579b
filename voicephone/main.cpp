// voicephone-daemon: carries one telephone call between the ttyI and the
// sound device.  Started by the controlling application as
//   voicephone-daemon <ttyI fd> <sound fd> <chunk size> <segment id>
#include <cstdio>

#include "a2t_pump.h"
#include "audio_io.h"
#include "daemon_util.h"
#include "supervisor.h"
#include "t2a_pump.h"

int main(int argc, char** argv)
{
    prepareDaemonProcess();
    if (argc != 5) {
        printf("%sCan only be invoked by Orvex itself\n\n", voicePhonePrefix);
        return 0;
    }
    printBanner(voicePhonePrefix, 1, 1, 0, 3);

    Call call;
    call.ttyFd = argumentValue(argv[1]);
    call.soundFd = argumentValue(argv[2]);
    call.chunkSize = argumentValue(argv[3]);
    if (!chunkSizeValid(call.chunkSize, voicePhonePrefix))
        return 1;
    call.cb = attachControlBlock(argumentValue(argv[4]), voicePhonePrefix);
    if (!call.cb)
        return 1;
    setWrapMode(static_cast<int>(readWord(call.cb->wrapMode)));

    prepareCall(call);
    startT2aPump(call);
    startA2tPump(call);
    announcePumps(call);

    superviseCall(call);
    endCall(call);
    return 0;
}
