// callctl call: callctl as the controlling application for one call, with an
// operator's console.
#include <cstring>
#include <optional>
#include <unistd.h>

#include "audio_io.h"
#include "command_options.h"
#include "console.h"
#include "console_keys.h"
#include "far_end.h"
#include "line.h"
#include "session.h"
#include "tape_wav.h"
#include "voice_signal.h"

namespace callctl {

namespace {

const char* callUsage =
    "usage: callctl call [--line TTY|fd:N|sim] [--tape BASE | --ingoing F --outgoing F]\n"
    "                    [--position SEC] [--tape-limit SEC] [--remote WAV] [--local WAV]\n"
    "                    [--remote-code DIGITS] [sound and common options]\n"
    "\n"
    "Runs voicephone-daemon for one call with an operator's console.  Keys:\n"
    "  0-9 * # A-D   send that DTMF key down the line\n"
    "  t             taping on / off\n"
    "  b f           tape back / forward 5 seconds     r e   rewind / to the end\n"
    "  h             hold on / off                     q     hang up (also Ctrl-C)\n"
    "  with --line sim:  k  the far end keys the remote code   x  the far end hangs up\n"
    "  .             (from a pipe) wait 0.2 s; the end of the keys hangs up\n"
    "\n"
    "  --line TTY          the ISDN voice tty, already in voice mode (opened raw);\n"
    "                      fd:N: descriptor N, inherited from the program that\n"
    "                      started callctl (a stream socket or a tty);\n"
    "                      sim (default): a stand-in far end that talks\n"
    "  --tape BASE         tape files BASE-in.ul and BASE-out.ul (default call);\n"
    "                      created empty when missing\n"
    "  --ingoing F, --outgoing F   the two tape files by name\n"
    "  --position SEC      start the tape here (default 0)\n"
    "  --tape-limit SEC    largest tape (default 3600)\n"
    "  --remote WAV        what the stand-in far end says\n"
    "  --local WAV         what the stand-in microphone hears\n"
    "  --remote-code D     digits the far end keys on 'k' (default 1234)\n"
    "  --fast              the stand-in speaker takes the audio as fast as it\n"
    "                      comes instead of at the pace of a speaker\n"
    "  --mic-cmd CMD       with --sound-cmd: CMD writes the microphone on its\n"
    "                      standard output (mu-law, or 16-bit with --wrap 16);\n"
    "                      the --sound-cmd then only plays\n";

void printCallEnd(Session& s)
{
    ControlBlock& c = s.cb();
    printf("tape %s of %s%s%s\n", tapeTime(readWord(c.tapePosition), true).c_str(),
           tapeTime(readWord(c.tapeLength), true).c_str(), readWord(c.tapeFull) ? ", tape full" : "",
           readWord(c.errorFlag) ? ", errorFlag set" : "");
    if (!s.touchtonesHeard().empty())
        printf("touchtones heard: %s\n", s.touchtonesHeard().c_str());
    if (!s.status().remoteCode.empty())
        printf("remote code: %s\n", s.status().remoteCode.c_str());
}

} // namespace

int callCommand(const Args& args)
{
    const char* cmd = "call";
    ScannedArgs a;
    int status = exitOk;
    if (!scanCommand(cmd, args,
                     {{"--line", true},
                      {"--tape", true},
                      {"--ingoing", true},
                      {"--outgoing", true},
                      {"--position", true},
                      {"--tape-limit", true},
                      {"--remote", true},
                      {"--local", true},
                      {"--remote-code", true},
                      {"--fast", false},
                      {"--mic-cmd", true}},
                     callUsage, &a, &status))
        return status;
    std::string error;
    double position = 0, limit = 3600;
    TapePaths tape;
    if (!secondsOption(cmd, a, "--position", 0, 500000, &position, &status) ||
        !secondsOption(cmd, a, "--tape-limit", 0, 500000, &limit, &status) || !tapePathsFrom(cmd, a, &tape, &status))
        return status;
    std::string code = valueOr(a, "--remote-code", "1234");
    if (code.empty() || code.size() > 16 || code.find_first_not_of("0123456789") != std::string::npos)
        return usageError(cmd, "--remote-code: '" + code + "' is not 1 to 16 digits");
    std::string lineName = valueOr(a, "--line", "sim");
    LineChoice line;
    if (!lineChoiceFrom(lineName, &line, &error))
        return usageError(cmd, error);
    Common c;
    if (!commonFrom(cmd, a, &c, &status) || !micCommandFrom(cmd, a, &c, &status))
        return status;
    if (has(a, "--fast") && c.sound.kind != SoundChoice::Kind::Sim && c.sound.kind != SoundChoice::Kind::Wav)
        return usageError(cmd, "--fast is for the stand-in sound device (sim or FILE.wav)");

    bool ok = true;
    std::vector<uint8_t> mic = microphoneFrom(valueOr(a, "--local", ""), 23, 205, &error, &ok);
    std::vector<uint8_t> remoteVoice = ok ? microphoneFrom(valueOr(a, "--remote", ""), 17, 118, &error, &ok)
                                          : std::vector<uint8_t>{};
    if (!ok)
        return failure(cmd, error);
    std::vector<std::string> voices;
    for (const char* o : {"--local", "--remote"})
        if (has(a, o))
            voices.push_back(a.values[o]);
    if (!checkOutputs(cmd, c, SoundUse::Call, voices, {}, &status, {tape.ingoing, tape.outgoing}))
        return status;
    if (!ensureFile(tape.ingoing, &error) || !ensureFile(tape.outgoing, &error))
        return failure(cmd, error);

    installInterruptHandler();
    Transcript transcript;
    Session s(c.daemonDir, transcript);
    s.prepare(c.wrap);
    ControlBlock& cb = s.cb();
    if (!pathOption(cmd, tape.ingoing, cb.ingoingPath, &status) ||
        !pathOption(cmd, tape.outgoing, cb.outgoingPath, &status))
        return status;
    writeWord(cb.tapePosition, static_cast<uint32_t>(position * bytesPerSecond));
    writeWord(cb.tapeLimit, static_cast<uint32_t>(limit * bytesPerSecond));

    SoundEndpoint sound;
    sound.setFast(has(a, "--fast"));
    if (!sound.open(c.sound, SoundUse::Call, c.wrap, mic, true, &error))
        return failure(cmd, error);
    std::unique_ptr<sim::Line> simLine;
    std::unique_ptr<FarEnd> far;
    int lineFd = -1;
    size_t remoteAt = 0;
    if (line.kind == LineChoice::Kind::Sim) {
        simLine = std::make_unique<sim::Line>();
        far = std::make_unique<FarEnd>(*simLine, [&](size_t n) {
            std::vector<uint8_t> out(n);
            for (auto& b : out)
                b = remoteVoice[remoteAt++ % remoteVoice.size()];
            return out;
        });
        lineFd = simLine->daemonFd();
    } else if ((lineFd = openLineChoice(line, &error)) < 0) {
        return failure(cmd, error);
    }

    KeyboardMode keyboard;
    if (!startTranscript(s, transcript, c, true, &status))
        return status;
    s.setPhase("call");
    s.trackTape(true);
    s.showStatus(true);
    s.startWatching();
    s.action("line " + (simLine ? std::string("stand-in far end") : lineName) + ", " + sound.describe());
    if (!s.startVoicePhone(lineFd, sound.daemonFd(), c.chunk))
        return failure(cmd, "can't start voicephone-daemon");
    if (simLine)
        simLine->closeDaemonEnd();
    else
        close(lineFd);
    sound.closeDaemonEnd();
    if (!s.waitUntil([&] { return acquireWord(cb.phoneUp) == 1; }, daemonPatience)) {
        writeWord(cb.stopRequest, 1);
        s.waitDaemon(daemonPatience);
        s.stopWatching();
        finishTranscript(c, transcript, &status);
        return failure(cmd, "the call did not come up");
    }
    if (far)
        far->start();
    if (keyboard.terminal())
        s.note(keyHelp(Console::Call, simLine != nullptr));

    std::string brokenDirection; // what ended the call against our will
    auto directionAlone = std::chrono::steady_clock::time_point::max();
    while (s.daemonRunning()) {
        if (interrupted) {
            s.action("interrupted: hang up");
            break;
        }
        showComplaints(s, cmd, c);
        std::string soundProblem = sound.problem();
        if (!soundProblem.empty()) {
            brokenDirection = soundProblem;
            break;
        }
        // The far end hanging up ends both directions at once; one ending
        // alone is a failure of its device, and the call is no call then.
        bool a2t = readWord(cb.a2tRunning) != 0, t2a = readWord(cb.t2aRunning) != 0;
        auto now = std::chrono::steady_clock::now();
        if (a2t == t2a) {
            directionAlone = std::chrono::steady_clock::time_point::max();
        } else if (directionAlone == std::chrono::steady_clock::time_point::max()) {
            directionAlone = now;
        } else if (now - directionAlone > std::chrono::milliseconds(300)) {
            brokenDirection = a2t ? "the line-to-speaker direction (ttyI2Audio) stopped"
                                  : "the microphone-to-line direction (Audio2ttyI) stopped";
            break;
        }
        int key = readKey(50);
        KeyAction act = actionForKey(key, Console::Call, simLine != nullptr);
        if (act == KeyAction::Quit)
            break; // the end of piped keys hangs up too
        switch (act) {
        case KeyAction::FarEndKeys:
            s.action("far end keys *" + code + "#");
            far->key("*" + code + "#");
            break;
        case KeyAction::FarEndHangsUp:
            s.action("far end hangs up");
            far->hangUp();
            break;
        case KeyAction::Pause:
            s.sleepFor(std::chrono::milliseconds(200));
            break;
        case KeyAction::Help:
            s.tell(keyHelp(Console::Call, simLine != nullptr));
            break;
        case KeyAction::Unknown:
            s.tell(std::string("key '") + static_cast<char>(key) + "' does nothing here; ? shows the keys");
            break;
        default: {
            std::string said = applyAction(act, static_cast<char>(key), cb);
            if (!said.empty())
                s.action(said);
        }
        }
        // The code is read back and cleared, so the far end can key another.
        if (acquireWord(cb.codeComplete)) {
            std::string code(cb.remoteCode, strnlen(cb.remoteCode, remoteCodeMaxDigits));
            s.noteRemoteCode(code);
            s.action("remote code: " + code);
            writeWord(cb.codeComplete, 0);
        }
    }
    if (!brokenDirection.empty()) {
        s.tell("callctl call: " + brokenDirection + "; hanging up");
        s.action(brokenDirection);
    }
    std::optional<int> st;
    bool hungUp = false;
    if (s.daemonRunning()) {
        s.action("hang up");
        writeWord(cb.stopRequest, 1);
        hungUp = true;
    }
    st = s.waitDaemon(hungUp ? daemonPatience : std::chrono::milliseconds(1000));
    if (far)
        far->stop();
    s.stopWatching();
    showComplaints(s, cmd, c);
    bool soundOk = sound.finish(&error);
    printCallEnd(s);
    if (!sound.xrunNote().empty())
        printf("sound device: %s\n", sound.xrunNote().c_str());
    RunFacts facts = s.factsOfLast(st);
    facts.chunkSize = static_cast<uint32_t>(c.chunk);
    Verdict v = judgeRun(facts);
    // Every failure is told: one must not hide another (a WAV the disk
    // could not take behind a tape it could not take either).
    std::string problems = brokenDirection;
    auto add = [&](const std::string& problem) { problems += (problems.empty() ? "" : "; ") + problem; };
    if (!v.ok)
        add(v.problem);
    if (!soundOk)
        add(error);
    if (!problems.empty())
        status = failure(cmd, problems);
    finishTranscript(c, transcript, &status);
    return status;
}

} // namespace callctl
