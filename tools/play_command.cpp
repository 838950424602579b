// callctl play: the playback daemon plays a tape.
#include <cstring>
#include <optional>
#include <unistd.h>

#include "audio_io.h"
#include "command_options.h"
#include "console.h"
#include "far_end.h"
#include "line.h"
#include "session.h"
#include "tape_wav.h"
#include "voice_signal.h"

namespace callctl {

namespace {

const char* playUsage =
    "usage: callctl play [--tape BASE | --ingoing F --outgoing F] [--outgoing-only]\n"
    "                    [--position SEC] [sound and common options]\n"
    "\n"
    "Runs playback-daemon: plays the tape, both sides mixed from --position, or\n"
    "the outgoing side alone from its start.  Ctrl-C stops; the position\n"
    "where it stopped is printed.\n"
    "\n"
    "  --tape BASE         tape files BASE-in.ul and BASE-out.ul (default call)\n"
    "  --outgoing-only     play only what the local user said\n"
    "  --position SEC      where mixed playing starts (default 0)\n";

} // namespace

int playCommand(const Args& args)
{
    const char* cmd = "play";
    ScannedArgs a;
    int status = exitOk;
    if (!scanCommand(cmd, args,
                     {{"--tape", true},
                      {"--ingoing", true},
                      {"--outgoing", true},
                      {"--outgoing-only", false},
                      {"--position", true}},
                     playUsage, &a, &status))
        return status;
    std::string error;
    double position = 0;
    TapePaths tape;
    if (!secondsOption(cmd, a, "--position", 0, 500000, &position, &status) || !tapePathsFrom(cmd, a, &tape, &status))
        return status;
    Common c;
    if (!commonFrom(cmd, a, &c, &status))
        return status;

    installInterruptHandler();
    Transcript transcript;
    Session s(c.daemonDir, transcript);
    s.prepare(c.wrap);
    ControlBlock& cb = s.cb();
    if (!pathOption(cmd, tape.ingoing, cb.ingoingPath, &status) ||
        !pathOption(cmd, tape.outgoing, cb.outgoingPath, &status))
        return status;
    writeWord(cb.outgoingOnly, has(a, "--outgoing-only") ? 1 : 0);
    writeWord(cb.tapePosition, static_cast<uint32_t>(position * bytesPerSecond));
    writeWord(cb.playFlags, FlagStartRequest);

    SoundEndpoint sound;
    if (!sound.open(c.sound, SoundUse::Play, c.wrap, {}, false, &error))
        return failure(cmd, error);
    if (c.verbose)
        transcript.echoTo(stderr);
    s.setPhase("play");
    s.showStatus(true);
    s.startWatching();
    if (!s.startPlayback(sound.daemonFd(), c.chunk))
        return failure(cmd, "can't start playback-daemon");
    sound.closeDaemonEnd();
    s.waitUntil([&] { return !s.daemonRunning(); }, std::chrono::hours(24 * 365));
    bool stopped = false;
    if (s.daemonRunning()) {
        s.action("stop");
        cb.playFlags.fetch_or(FlagStopRequest);
        stopped = true;
    }
    std::optional<int> st = s.waitDaemon(std::chrono::milliseconds(5000));
    s.stopWatching();
    if (!sound.finish(&error))
        status = failure(cmd, error);
    if (st != 0) {
        for (const auto& l : s.linesOf("playback-daemon", true))
            fprintf(stderr, "%s\n", l.c_str());
        status = failure(cmd, "playback-daemon ended with status " + (st ? std::to_string(*st) : std::string("?")));
    } else if (stopped) {
        uint32_t at = readWord(cb.tapePosition);
        printf("stopped at %s; go on with --position %.3f\n", tapeTime(at, true).c_str(), at / 8000.0);
    } else {
        printf("played to the end of the tape\n");
    }
    finishTranscript(c, transcript, &status);
    return status;
}

} // namespace callctl
