// callctl answer: the daemon as an answering machine.
#include <algorithm>
#include <cstring>
#include <sys/stat.h>
#include <functional>
#include <optional>
#include <unistd.h>

#include "audio_io.h"
#include "command_options.h"
#include "console.h"
#include "console_keys.h"
#include "output_file.h"
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
    "limit, the caller's hang-up, q or Ctrl-C.\n"
    "\n"
    "  --line TTY          the ISDN voice tty; fd:N: inherited descriptor N (a\n"
    "                      stream socket or a tty); sim (default): a stand-in\n"
    "                      caller that listens at the line's pace, then talks\n"
    "  --greeting FILE     the message file, headerless mu-law (make one with\n"
    "                      'callctl tape import'); none: no greeting\n"
    "  --response FILE     where the caller goes (default response.ul); when it\n"
    "                      exists, the next free FILE-2, FILE-3, ... (--force:\n"
    "                      replace it)\n"
    "  --response-limit SEC   at most this long (default 60)\n"
    "  --caller WAV        what the stand-in caller says\n"
    "  --mic-cmd CMD       with --sound-cmd: CMD writes the microphone on its\n"
    "                      standard output (mu-law, or 16-bit with --wrap 16);\n"
    "                      the --sound-cmd then only plays\n";

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
                      {"--caller", true},
                      {"--mic-cmd", true}},
                     answerUsage, &a, &status))
        return status;
    std::string error;
    double limit = 60;
    if (!secondsOption(cmd, a, "--response-limit", 0, 500000, &limit, &status))
        return status;
    std::string greeting = valueOr(a, "--greeting", "");
    if (greeting == "none")
        greeting.clear();
    std::string response = valueOr(a, "--response", "response.ul");
    std::string lineName = valueOr(a, "--line", "sim");
    LineChoice line;
    if (!lineChoiceFrom(lineName, &line, &error))
        return usageError(cmd, error);
    Common c;
    if (!commonFrom(cmd, a, &c, &status) || !micCommandFrom(cmd, a, &c, &status))
        return status;
    bool ok = true;
    std::vector<uint8_t> callerVoice = microphoneFrom(valueOr(a, "--caller", ""), 53, 125, &error, &ok);
    if (!ok)
        return failure(cmd, error);
    std::vector<uint8_t> greetingBytes;
    if (!greeting.empty() && !readWholeFile(greeting, &greetingBytes, &error))
        return failure(cmd, error);
    std::vector<std::string> inputs;
    if (!greeting.empty())
        inputs.push_back(greeting);
    if (has(a, "--caller"))
        inputs.push_back(a.values["--caller"]);
    // The last caller's message is never replaced by the next one's.
    std::string asked = response;
    if (!c.force)
        response = freeNumberedName(response, fileExists);
    if (!checkOutputs(cmd, c, SoundUse::Call, inputs, {response}, &status))
        return status;
    if (!checkWritable(response, "the response file", &error))
        return failure(cmd, error);
    if (response != asked)
        printf("%s exists; the caller goes into %s\n", asked.c_str(), response.c_str());

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

    if (!startTranscript(s, transcript, c, true, &status))
        return status;
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
    bool up = s.waitUntil([&] { return acquireWord(cb.phoneUp) == 1; }, daemonPatience);
    if (up && caller)
        caller->start();
    KeyboardMode keyboard;
    if (keyboard.terminal())
        s.note(keyHelp(Console::Answer, false));
    bool quit = false;
    std::string soundProblem;
    // Waits for `done` while the daemon runs; false when the person, Ctrl-C
    // or the sound device ended the wait.
    auto phaseStart = std::chrono::steady_clock::now();
    bool recordingCaller = false;
    auto showProgress = [&] {
        if (recordingCaller) {
            struct stat st;
            uint32_t have = stat(response.c_str(), &st) == 0 ? static_cast<uint32_t>(st.st_size) : 0;
            s.setProgress("recording caller " + tapeTime(have) + " of " +
                          tapeTime(static_cast<uint32_t>(limit * bytesPerSecond)));
        } else {
            // The greeting goes out at the line's pace.
            double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - phaseStart).count();
            uint32_t total = static_cast<uint32_t>(greetingBytes.size());
            uint32_t at = std::min(total, static_cast<uint32_t>(seconds * bytesPerSecond));
            s.setProgress("greeting " + tapeTime(at) + " of " + tapeTime(total));
        }
    };
    auto await = [&](const std::function<bool()>& done) {
        while (!done() && s.daemonRunning()) {
            showProgress();
            if (interrupted || quit || !soundProblem.empty())
                return false;
            showComplaints(s, cmd, c);
            soundProblem = sound.problem();
            int key = keyboard.terminal() ? readKey(20) : (s.sleepFor(std::chrono::milliseconds(20)), 0);
            switch (actionForKey(key, Console::Answer, caller != nullptr)) {
            case KeyAction::Quit:
                quit = true;
                break;
            case KeyAction::Help:
                s.tell(keyHelp(Console::Answer, false));
                break;
            case KeyAction::Unknown:
                s.tell(std::string("key '") + static_cast<char>(key) + "' does nothing here; ? shows the keys");
                break;
            default:
                break;
            }
        }
        return done();
    };
    if (up && !greeting.empty()) {
        s.action("play the greeting " + greeting);
        s.setPhase("greeting");
        phaseStart = std::chrono::steady_clock::now();
        writeWord(cb.messageStart, 1);
        await([&] { return readWord(cb.messageDone) == 1; });
    }
    if (up && s.daemonRunning() && !interrupted && !quit && soundProblem.empty()) {
        s.action("record the caller into " + response);
        s.setPhase("recording caller");
        recordingCaller = true;
        writeWord(cb.responseStart, 1);
        if (caller)
            caller->talk(true);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(limit * 1000 + 1000));
        await([&] {
            if (caller && std::chrono::steady_clock::now() > deadline)
                caller->hangUp(); // the stand-in caller has said enough
            return readWord(cb.responseDone) == 1;
        });
    }
    bool ourEnd = interrupted || quit || !soundProblem.empty();
    if (ourEnd && s.daemonRunning() && readWord(cb.responseRecording)) {
        s.action("stop recording");
        writeWord(cb.responseStop, 1);
        s.waitUntil([&] { return readWord(cb.responseDone) == 1; }, daemonPatience, false);
    }
    std::optional<int> st;
    if (s.daemonRunning()) {
        if (caller && !ourEnd) {
            caller->hangUp();
            st = s.waitDaemon(daemonPatience);
        } else {
            s.action("hang up");
            writeWord(cb.stopRequest, 1);
            st = s.waitDaemon(daemonPatience);
        }
    } else {
        st = s.waitDaemon(std::chrono::milliseconds(1000));
    }
    if (caller)
        caller->stop();
    s.stopWatching();
    showComplaints(s, cmd, c);
    bool soundOk = sound.finish(&error);
    std::vector<uint8_t> recorded;
    std::string readError;
    readWholeFile(response, &recorded, &readError);
    bool done = readWord(cb.responseDone) != 0;
    RunFacts facts = s.factsOfLast(st);
    facts.chunkSize = static_cast<uint32_t>(c.chunk);
    // The daemon sets errorFlag when the call ends while it records: that is
    // how most answered calls end, and no failure by itself.
    facts.cutOffByHangUp = !done;
    Verdict v = judgeRun(facts);
    std::string summary = "greeting " + (greeting.empty() ? std::string("none") : greeting) + ", response " +
                          response + ": " + std::to_string(recorded.size()) + " bytes (" +
                          tapeTime(static_cast<uint32_t>(recorded.size()), true) + ")";
    if (!up) {
        status = failure(cmd, "the call did not come up" + (v.ok ? "" : ": " + v.problem));
    } else if (!soundProblem.empty() || !soundOk) {
        status = failure(cmd, (soundProblem.empty() ? error : soundProblem) + (v.ok ? "" : "; " + v.problem) + "; " +
                                  summary);
    } else if (!v.ok) {
        status = failure(cmd, v.problem + "; " + summary);
    } else {
        printf("%s%s\n", summary.c_str(),
               done ? "" : ourEnd ? ", stopped by you" : ", cut off by the end of the call");
    }
    finishTranscript(c, transcript, &status);
    return status;
}

} // namespace callctl
