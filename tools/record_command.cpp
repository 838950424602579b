// callctl record: the record daemon records a take.
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

namespace callctl {

namespace {

const char* recordUsage =
    "usage: callctl record [--take FILE] [--tape-limit SEC] [--seconds N]\n"
    "                      [sound and common options]\n"
    "\n"
    "Runs record-daemon: records the sound device into FILE (created or\n"
    "truncated) until --seconds have passed, the tape limit is reached, a\n"
    "WAV given as --sound has been played in, or Ctrl-C.\n"
    "\n"
    "  --take FILE         the tape file (default take.ul)\n"
    "  --tape-limit SEC    largest take (default 3600)\n"
    "  --seconds N         stop after N seconds\n";

} // namespace

int recordCommand(const Args& args)
{
    const char* cmd = "record";
    ScannedArgs a;
    int status = exitOk;
    if (!scanCommand(cmd, args,
                     {{"--take", true},
                      {"--tape-limit", true},
                      {"--seconds", true}},
                     recordUsage, &a, &status))
        return status;
    std::string error;
    double limit = 3600, seconds = 0;
    if (!secondsOption(cmd, a, "--tape-limit", 0, 500000, &limit, &status) ||
        !secondsOption(cmd, a, "--seconds", 0.01, 500000, &seconds, &status))
        return status;
    std::string take = valueOr(a, "--take", "take.ul");
    Common c;
    if (!commonFrom(cmd, a, &c, &status))
        return status;
    RecordingMicrophone mic;
    if (!recordingMicrophone(c.sound, 60, true, &mic, &error))
        return failure(cmd, error);

    if (!checkOutputs(cmd, c, SoundUse::Record, {}, {}, &status, {take}))
        return status;
    if (!checkWritable(take, "the take", &error))
        return failure(cmd, error);

    Recording r;
    if (!startRecording(cmd, c, mic,
                        {.take = take,
                         .tapeLimit = static_cast<uint32_t>(limit * bytesPerSecond),
                         .phase = "record",
                         .failureNote = "",
                         .holdKeyboard = false},
                        &r, &status))
        return status;
    Session& s = *r.session;
    ControlBlock& cb = s.cb();
    SoundEndpoint& sound = r.sound;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    bool wasActive = false;
    std::string soundProblem;
    s.waitUntil(
        [&] {
            showComplaints(s, cmd, c);
            // The daemon ends the take itself at the tape limit or on a
            // failed write, and then keeps reading: nothing more to wait for.
            bool active = flagSet(cb.recordFlags, FlagActive);
            bool takeEnded = wasActive && !active;
            wasActive = wasActive || active;
            soundProblem = sound.problem();
            return !s.daemonRunning() || sound.sourceDone() || takeEnded || !soundProblem.empty() ||
                   (seconds > 0 && std::chrono::steady_clock::now() >= deadline);
        },
        std::chrono::hours(24 * 365));
    TakeEnd end = endRecording(cmd, c, r, daemonPatience);
    uint32_t length = readWord(cb.tapeLength);
    std::string held = take + " holds " + std::to_string(length) + " bytes (" + tapeTime(length, true) + ")";
    std::string alsoDaemon = end.verdict.ok ? "" : "; " + end.verdict.problem;
    if (!soundProblem.empty()) {
        status = failure(cmd, soundProblem + alsoDaemon + "; " + held);
    } else if (!end.soundOk) {
        status = failure(cmd, end.soundError + alsoDaemon + "; " + held);
    } else if (!end.verdict.ok) {
        status = failure(cmd, end.verdict.problem + "; " + held);
    } else {
        std::string xruns = sound.xrunNote();
        printf("recorded %s: %u bytes (%s)%s%s\n", take.c_str(), length, tapeTime(length, true).c_str(),
               readWord(cb.tapeFull) ? ", tape limit reached" : "", xruns.empty() ? "" : ("; " + xruns).c_str());
    }
    finishTranscript(c, r.transcript, &status);
    return status;
}

} // namespace callctl
