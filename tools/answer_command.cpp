// callctl answer: the daemon as an answering machine.
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

const char* answerUsage =
    "usage: callctl answer [--line TTY|fd:N|sim] [--greeting FILE] [--response FILE]\n"
    "                      [--response-limit SEC] [--caller WAV] [sound and common options]\n"
    "\n"
    "Runs voicephone-daemon as an answering machine: plays the greeting down\n"
    "the line, then records the caller into the response file until its\n"
    "limit, the caller's hang-up or Ctrl-C.\n"
    "\n"
    "  --line TTY          the ISDN voice tty; fd:N: inherited descriptor N (a\n"
    "                      stream socket or a tty); sim (default): a stand-in\n"
    "                      caller that listens at the line's pace, then talks\n"
    "  --greeting FILE     the message file, headerless mu-law (make one with\n"
    "                      'callctl tape import'); none: no greeting\n"
    "  --response FILE     where the caller goes (default response.ul)\n"
    "  --response-limit SEC   at most this long (default 60)\n"
    "  --caller WAV        what the stand-in caller says\n";

} // namespace

int answerCommand(const Args& args)
{
    const char* cmd = "answer";
    ScannedArgs a;
    int status = exitOk;
    if (!scanCommand(cmd, args,
                     {{"--line", true},
                      {"--greeting", true},
                      {"--response", true},
                      {"--response-limit", true},
                      {"--caller", true}},
                     answerUsage, &a, &status))
        return status;
    std::string error;
    double limit = 60;
    if (!secondsOption(cmd, a, "--response-limit", 0, 500000, &limit, &status))
        return status;
    std::string greeting = valueOr(a, "--greeting", "");
    std::string response = valueOr(a, "--response", "response.ul");
    std::string lineName = valueOr(a, "--line", "sim");
    LineChoice line;
    if (!lineChoiceFrom(lineName, &line, &error))
        return usageError(cmd, error);
    Common c;
    if (!commonFrom(cmd, a, &c, &status))
        return status;
    bool ok = true;
    std::vector<uint8_t> callerVoice = microphoneFrom(valueOr(a, "--caller", ""), 53, 125, &error, &ok);
    if (!ok)
        return failure(cmd, error);
    std::vector<uint8_t> greetingBytes;
    if (!greeting.empty() && !readWholeFile(greeting, &greetingBytes, &error))
        return failure(cmd, error);

    installInterruptHandler();
    Transcript transcript;
    Session s(c.daemonDir, transcript);
    s.prepare(c.wrap);
    ControlBlock& cb = s.cb();
    if ((!greeting.empty() && !pathOption(cmd, greeting, cb.messagePath, &status)) ||
        !pathOption(cmd, response, cb.responsePath, &status))
        return status;
    writeWord(cb.answerMode, 1);
    writeWord(cb.responseLimit, static_cast<uint32_t>(limit * bytesPerSecond));

    SoundEndpoint sound;
    if (!sound.open(c.sound, SoundUse::Call, c.wrap, {}, true, &error))
        return failure(cmd, error);
    std::unique_ptr<FarEnd> caller;
    int lineFd = -1;
    size_t at = 0;
    if (line.kind == LineChoice::Kind::Sim) {
        caller = std::make_unique<FarEnd>([&](size_t n) {
            std::vector<uint8_t> out(n);
            for (auto& b : out)
                b = callerVoice[at++ % callerVoice.size()];
            return out;
        });
        caller->talk(false);
        lineFd = caller->daemonFd();
    } else if ((lineFd = openLineChoice(line, &error)) < 0) {
        return failure(cmd, error);
    }
    // Our own number for the sound device: the daemon closes its copy.
    writeWord(cb.audioFd, static_cast<uint32_t>(sound.daemonFd()));

    if (c.verbose || isatty(STDERR_FILENO))
        transcript.echoTo(stderr);
    s.setPhase("answer");
    s.showStatus(true);
    s.startWatching();
    if (!s.startVoicePhone(lineFd, sound.daemonFd(), c.chunk))
        return failure(cmd, "can't start voicephone-daemon");
    if (caller)
        caller->closeDaemonEnd();
    else
        close(lineFd);
    sound.closeDaemonEnd();
    bool up = s.waitUntil([&] { return acquireWord(cb.phoneUp) == 1; }, std::chrono::milliseconds(3000));
    if (up && caller)
        caller->start();
    if (up && !greeting.empty()) {
        s.action("play the greeting " + greeting);
        writeWord(cb.messageStart, 1);
        s.waitUntil([&] { return readWord(cb.messageDone) == 1 || !s.daemonRunning(); },
                    std::chrono::milliseconds(static_cast<long>(greetingBytes.size() / 8 * 3 + 10000)));
    }
    if (up && s.daemonRunning() && !interrupted) {
        s.action("record the caller into " + response);
        writeWord(cb.responseStart, 1);
        if (caller)
            caller->talk(true);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(limit * 1000 + 1000));
        s.waitUntil(
            [&] {
                if (caller && std::chrono::steady_clock::now() > deadline)
                    caller->hangUp(); // the stand-in caller has said enough
                return readWord(cb.responseDone) == 1 || !s.daemonRunning();
            },
            std::chrono::hours(24 * 365));
    }
    if (interrupted && s.daemonRunning() && readWord(cb.responseRecording)) {
        s.action("interrupted: stop recording");
        writeWord(cb.responseStop, 1);
        s.waitUntil([&] { return readWord(cb.responseDone) == 1; }, std::chrono::milliseconds(2000), false);
    }
    if (s.daemonRunning()) {
        if (caller && !interrupted) {
            caller->hangUp();
            s.waitDaemon(std::chrono::milliseconds(3000));
        } else {
            status = endCall(s, cmd);
        }
    } else {
        s.waitDaemon(std::chrono::milliseconds(1000));
    }
    if (caller)
        caller->stop();
    s.stopWatching();
    transcript.echoTo(nullptr);
    sound.finish(&error);
    std::vector<uint8_t> recorded;
    readWholeFile(response, &recorded, &error);
    printf("greeting %s, response %s: %zu bytes (%s)%s\n", greeting.empty() ? "none" : greeting.c_str(),
           response.c_str(), recorded.size(), tapeTime(static_cast<uint32_t>(recorded.size()), true).c_str(),
           readWord(cb.responseDone) ? "" : ", cut off by the end of the call");
    if (readWord(cb.errorFlag) && readWord(cb.responseDone) == 0 && !recorded.empty()) {
        // A recording cut short by the hang-up sets errorFlag; that is how
        // most answered calls end, so it is no failure of ours.
    } else if (readWord(cb.errorFlag) && status == exitOk) {
        status = exitFailure;
    }
    finishTranscript(c, transcript, &status);
    return status;
}

} // namespace callctl
