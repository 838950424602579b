// callctl play: the playback daemon plays a tape.
#include <algorithm>
#include <climits>
#include <cstring>
#include <sys/stat.h>
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
    "the outgoing side alone from its start.  q or Ctrl-C stops; the position\n"
    "where it stopped is printed.  The stand-in sound device plays at the pace\n"
    "of a speaker.\n"
    "\n"
    "  --tape BASE         tape files BASE-in.ul and BASE-out.ul (default call)\n"
    "  --outgoing-only     play only what the local user said, from its start\n"
    "  --position SEC      where mixed playing starts (default 0)\n"
    "  --fast              the stand-in sound device takes the audio as fast as\n"
    "                      it comes instead of at the pace of a speaker\n";

// Bytes a tape file holds, or nullopt when it can't be looked at (the
// daemon then says why it can't open it).
std::optional<uint32_t> fileLength(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return static_cast<uint32_t>(std::min<off_t>(st.st_size, UINT32_MAX));
}

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
                      {"--position", true},
                      {"--fast", false}},
                     playUsage, &a, &status))
        return status;
    std::string error;
    double position = 0;
    TapePaths tape;
    if (!secondsOption(cmd, a, "--position", 0, 500000, &position, &status) || !tapePathsFrom(cmd, a, &tape, &status))
        return status;
    bool outgoingOnly = has(a, "--outgoing-only");
    if (outgoingOnly && has(a, "--position"))
        return usageError(cmd, "--position has no effect with --outgoing-only, which plays from the start");
    Common c;
    if (!commonFrom(cmd, a, &c, &status))
        return status;
    if (has(a, "--fast") && c.sound.kind != SoundChoice::Kind::Sim && c.sound.kind != SoundChoice::Kind::Wav)
        return usageError(cmd, "--fast is for the stand-in sound device (sim or FILE.wav)");

    std::vector<std::string> tapes{tape.outgoing};
    if (!outgoingOnly)
        tapes.push_back(tape.ingoing);
    if (!checkOutputs(cmd, c, SoundUse::Play, tapes, {}, &status))
        return status;

    // Mixing ends with the shorter side.
    std::optional<uint32_t> length = fileLength(tape.outgoing);
    if (!outgoingOnly) {
        std::optional<uint32_t> in = fileLength(tape.ingoing);
        length = in && length ? std::optional<uint32_t>(std::min(*in, *length)) : std::nullopt;
    }
    uint32_t from = outgoingOnly ? 0 : static_cast<uint32_t>(position * bytesPerSecond);
    if (length && from >= *length && *length > 0)
        return failure(cmd, "--position " + tapeTime(from, true) + " is at or past the end of the tape (" +
                                tapeTime(*length, true) + "): nothing to play");

    installInterruptHandler();
    Transcript transcript;
    Session s(c.daemonDir, transcript);
    s.prepare(c.wrap);
    ControlBlock& cb = s.cb();
    if (!pathOption(cmd, tape.ingoing, cb.ingoingPath, &status) ||
        !pathOption(cmd, tape.outgoing, cb.outgoingPath, &status))
        return status;
    writeWord(cb.outgoingOnly, outgoingOnly ? 1 : 0);
    writeWord(cb.tapePosition, from);
    writeWord(cb.playFlags, FlagStartRequest);

    SoundEndpoint sound;
    sound.setFast(has(a, "--fast"));
    if (!sound.open(c.sound, SoundUse::Play, c.wrap, {}, false, &error))
        return failure(cmd, error);
    KeyboardMode keyboard;
    if (!startTranscript(s, transcript, c, false, &status))
        return status;
    s.setPhase("play");
    s.showStatus(true);
    s.startWatching();
    if (!s.startPlayback(sound.daemonFd(), c.chunk))
        return failure(cmd, "can't start playback-daemon");
    sound.closeDaemonEnd();
    std::string soundProblem;
    bool stopAsked = false;
    bool standIn = c.sound.kind == SoundChoice::Kind::Sim || c.sound.kind == SoundChoice::Kind::Wav;
    while (s.daemonRunning() && !interrupted) {
        // Where the tape is as heard: the daemon's position runs a pipe ahead.
        uint32_t heardAt = standIn ? from + static_cast<uint32_t>(sound.playedCount()) : readWord(cb.tapePosition);
        s.setProgress("play " + tapeTime(heardAt) + " of " + (length ? tapeTime(*length) : std::string("?")));
        showComplaints(s, cmd, c);
        soundProblem = sound.problem();
        if (!soundProblem.empty())
            break;
        int key = keyboard.terminal() ? readKey(20) : (s.sleepFor(std::chrono::milliseconds(20)), 0);
        if (key == 'q' || key == 4) {
            stopAsked = true;
            break;
        }
        if (key == '?')
            s.tell("keys: q stop (also Ctrl-C)");
        else if (key > 0 && key != '\n')
            s.tell(std::string("key '") + static_cast<char>(key) + "' does nothing here; ? shows the keys");
    }
    bool stopped = false;
    size_t heardAtStop = sound.playedCount();
    if (s.daemonRunning()) {
        s.action(interrupted || stopAsked ? "stop" : "stop: the sound device failed");
        cb.playFlags.fetch_or(FlagStopRequest);
        stopped = true;
    }
    std::optional<int> st = s.waitDaemon(daemonPatience);
    s.stopWatching();
    showComplaints(s, cmd, c);
    bool soundOk = sound.finish(&error);
    if (soundProblem.empty() && !soundOk)
        soundProblem = error;
    Verdict v = judgeRun(s.factsOfLast(st));
    // The daemon rewinds at the end of the tape, so its position tells
    // where a stop left it only.  What reached the stand-in speaker is what
    // was heard; a real device is trusted with what the daemon wrote to it.
    uint32_t at = stopped ? readWord(cb.tapePosition) : length.value_or(from);
    uint32_t heard = standIn ? static_cast<uint32_t>(stopped ? heardAtStop : sound.playedCount())
                             : at - std::min(at, from);
    if (standIn)
        at = from + heard;
    std::string span = tapeTime(heard, true) + ", from " + tapeTime(from, true) + " to " + tapeTime(at, true);
    if (!soundProblem.empty()) {
        status = failure(cmd, soundProblem + (v.ok ? "" : "; " + v.problem) + "; played " + span);
    } else if (!v.ok) {
        status = failure(cmd, v.problem + "; played " + span);
    } else if (stopped) {
        printf("stopped at %s after playing %s; go on with --position %.3f\n", tapeTime(at, true).c_str(),
               tapeTime(heard, true).c_str(), at / 8000.0);
    } else {
        std::string xruns = sound.xrunNote();
        printf("played %s of %s%s%s\n", span.c_str(), length ? tapeTime(*length, true).c_str() : "?",
               heard == 0 ? " (the tape is empty)" : ", to the end", xruns.empty() ? "" : ("; " + xruns).c_str());
    }
    finishTranscript(c, transcript, &status);
    return status;
}

} // namespace callctl
