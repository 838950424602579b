// callctl call | answer | play | record: callctl as the controlling
// application, for real use and for debugging one daemon at a time.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "audio_io.h"
#include "command_line.h"
#include "commands.h"
#include "devices.h"
#include "far_end.h"
#include "line.h"
#include "session.h"
#include "tape_wav.h"
#include "voice_signal.h"

namespace callctl {

namespace {

const char* commonOptionsHelp =
    "  --sound DEV         the sound device: an OSS device path, FILE.wav (a\n"
    "                      stand-in that writes what is played to the file; for\n"
    "                      record, what the microphone hears), or sim (default:\n"
    "                      a stand-in with a synthetic voice as microphone)\n"
    "  --sound-cmd CMD     run CMD on a pipe as the sound device, e.g.\n"
    "                      \"aplay -q -t raw -f MU_LAW -r 8000\"\n"
    "  --wrap 1|16         sound samples: 1 mu-law (default), 16 signed 16-bit\n"
    "  --chunk N           samples per read and write, 1 to 65536 (default 160)\n"
    "  --daemons DIR       where the daemons are\n"
    "  --transcript FILE   write every printed line and record change to FILE\n"
    "  --verbose           print them as they come\n";

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
    "  --remote-code D     digits the far end keys on 'k' (default 1234)\n";

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

const std::vector<OptionRule> commonRules = {
    {"--sound", true},   {"--sound-cmd", true},  {"--wrap", true},   {"--chunk", true},
    {"--daemons", true}, {"--transcript", true}, {"--verbose", false},
};

std::vector<OptionRule> withCommon(std::vector<OptionRule> rules)
{
    rules.insert(rules.end(), commonRules.begin(), commonRules.end());
    return rules;
}

std::string usageWithCommon(const char* usage)
{
    return std::string(usage) + "\nSound and common options:\n" + commonOptionsHelp;
}

// Scans a command's own options and the common ones.  False when the
// command is already done, with *status set: a usage error, or --help.
bool scanCommand(const char* cmd, const Args& args, std::vector<OptionRule> own, const char* usage, ScannedArgs* a,
                 int* status)
{
    std::string error;
    if (!scanArguments(args, withCommon(std::move(own)), a, &error)) {
        *status = usageError(cmd, error);
        return false;
    }
    if (a->help) {
        *status = printUsage(usageWithCommon(usage).c_str());
        return false;
    }
    if (!a->positional.empty()) {
        *status = usageError(cmd, "unexpected argument '" + a->positional[0] + "'");
        return false;
    }
    return true;
}

struct Common {
    SoundChoice sound;
    int wrap = WrapUlaw;
    int chunk = 160;
    std::string daemonDir;
    std::string transcript;
    bool verbose = false;
};

// Parses the options every command shares; on a usage error returns its
// status in *status.
bool commonFrom(const std::string& command, ScannedArgs& a, Common* c, int* status)
{
    std::string error;
    long v = 0;
    if (has(a, "--wrap")) {
        std::string w = a.values["--wrap"];
        if (w != "1" && w != "16") {
            *status = usageError(command, "--wrap: '" + w + "' is not 1 (mu-law) or 16 (16-bit linear)");
            return false;
        }
        c->wrap = w == "1" ? WrapUlaw : WrapLinear16;
    }
    if (has(a, "--chunk")) {
        if (!parseNumber("--chunk", a.values["--chunk"], 1, maxChunkSize, &v, &error)) {
            *status = usageError(command, error);
            return false;
        }
        c->chunk = static_cast<int>(v);
    }
    if (!soundChoiceFrom(valueOr(a, "--sound", ""), valueOr(a, "--sound-cmd", ""), &c->sound, &error)) {
        *status = usageError(command, error);
        return false;
    }
    c->transcript = valueOr(a, "--transcript", "");
    c->verbose = has(a, "--verbose");
    if (!findDaemonDir(valueOr(a, "--daemons", ""), &c->daemonDir, &error)) {
        *status = failure(command, error);
        return false;
    }
    return true;
}

bool secondsOption(const std::string& command, ScannedArgs& a, const char* name, double low, double high,
                   double* out, int* status)
{
    std::string error;
    if (has(a, name) && !parseSeconds(name, a.values[name], low, high, out, &error)) {
        *status = usageError(command, error);
        return false;
    }
    return true;
}

bool pathOption(const std::string& command, const std::string& path, char (&field)[pathFieldSize], int* status)
{
    if (path.empty() || path.size() >= pathFieldSize) {
        *status = usageError(command, "path '" + path + "' must have 1 to 127 bytes");
        return false;
    }
    sim::Segment::setPath(field, path);
    return true;
}

struct TapePaths {
    std::string ingoing, outgoing;
};

bool tapePathsFrom(const std::string& command, ScannedArgs& a, TapePaths* t, int* status)
{
    bool byName = has(a, "--ingoing") || has(a, "--outgoing");
    if (byName && has(a, "--tape")) {
        *status = usageError(command, "give --tape or --ingoing/--outgoing, not both");
        return false;
    }
    if (byName && !(has(a, "--ingoing") && has(a, "--outgoing"))) {
        *status = usageError(command, "--ingoing and --outgoing go together");
        return false;
    }
    std::string base = valueOr(a, "--tape", "call");
    t->ingoing = byName ? a.values["--ingoing"] : base + "-in.ul";
    t->outgoing = byName ? a.values["--outgoing"] : base + "-out.ul";
    return true;
}

std::vector<uint8_t> microphoneFrom(const std::string& wav, uint32_t seed, double pitch, std::string* error,
                                    bool* ok)
{
    *ok = true;
    if (wav.empty())
        return VoiceSignal(seed, pitch).ulaw(8000 * 60);
    TapeChannels t;
    if (!readWavAsTape(wav, &t, error) || t.channels[0].empty()) {
        if (error->empty())
            *error = wav + " holds no audio";
        *ok = false;
        return {};
    }
    return t.channels[0];
}

// The terminal in single-key mode while the console runs; Ctrl-C still
// raises SIGINT.
class KeyboardMode {
public:
    KeyboardMode()
    {
        if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_) != 0)
            return;
        struct termios t = saved_;
        t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        active_ = tcsetattr(STDIN_FILENO, TCSANOW, &t) == 0;
    }
    ~KeyboardMode()
    {
        if (active_)
            tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }
    bool terminal() const { return active_; }

private:
    struct termios saved_ {};
    bool active_ = false;
};

// One key, or 0 after `ms` without one; -1 at the end of input.
int readKey(int ms)
{
    pollfd p{STDIN_FILENO, POLLIN, 0};
    int r = poll(&p, 1, ms);
    if (r <= 0)
        return 0;
    char c;
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 0)
        return -1;
    return n < 0 ? 0 : static_cast<unsigned char>(c);
}

void finishTranscript(const Common& c, const Transcript& t, int* status)
{
    std::string error;
    if (!c.transcript.empty() && !t.write(c.transcript, &error)) {
        fprintf(stderr, "callctl: %s\n", error.c_str());
        *status = exitFailure;
    }
}

bool ensureFile(const std::string& path, std::string* error)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
        return true;
    return writeWholeFile(path, {}, error);
}

// Ends a voicephone call: stop request, wait, report.
int endCall(Session& s, const char* command)
{
    writeWord(s.cb().stopRequest, 1);
    std::optional<int> st = s.waitDaemon(std::chrono::milliseconds(5000));
    if (st != 0)
        return failure(command, "voicephone-daemon did not end cleanly");
    return exitOk;
}

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
                      {"--remote-code", true}},
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
    if (!commonFrom(cmd, a, &c, &status))
        return status;

    bool ok = true;
    std::vector<uint8_t> mic = microphoneFrom(valueOr(a, "--local", ""), 23, 205, &error, &ok);
    std::vector<uint8_t> remoteVoice = ok ? microphoneFrom(valueOr(a, "--remote", ""), 17, 118, &error, &ok)
                                          : std::vector<uint8_t>{};
    if (!ok)
        return failure(cmd, error);
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
    if (c.verbose || keyboard.terminal())
        transcript.echoTo(stderr);
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
    if (!s.waitUntil([&] { return acquireWord(cb.phoneUp) == 1; }, std::chrono::milliseconds(3000))) {
        s.waitDaemon(std::chrono::milliseconds(3000));
        s.stopWatching();
        finishTranscript(c, transcript, &status);
        return failure(cmd, "the call did not come up");
    }
    if (far)
        far->start();
    if (keyboard.terminal())
        fprintf(stderr, "keys: 0-9*#A-D dtmf, t taping, b/f back/forward, r/e rewind/end, h hold, q hang up%s\n",
                simLine ? ", k far end keys code, x far end hangs up" : "");

    while (s.daemonRunning()) {
        if (interrupted) {
            s.action("interrupted: hang up");
            break;
        }
        int key = readKey(50);
        if (key == -1)
            break; // the end of the keys hangs up, as 'q' does
        if (key == 0)
            continue;
        if (key == 'q' || key == 4)
            break;
        // Upper-case A-D are keys; the lower-case letters are commands.
        if (isdigit(key) || key == '*' || key == '#' || (key >= 'A' && key <= 'D')) {
            char k = static_cast<char>(key);
            if (readWord(cb.dtmfPending) || readByte(cb.dtmfKey)) {
                s.action(std::string("DTMF '") + k + "' not sent: the last key is still going out");
            } else {
                s.action(std::string("send DTMF '") + k + "'");
                writeByte(cb.dtmfKey, static_cast<uint8_t>(k));
            }
        } else if (key == 't') {
            bool on = flagSet(cb.recordFlags, FlagActive);
            s.action(on ? "taping off" : "taping on");
            if (on)
                cb.recordFlags.fetch_or(FlagStopRequest);
            else
                writeWord(cb.recordFlags, FlagStartRequest);
        } else if (key == 'b' || key == 'f') {
            if (flagSet(cb.recordFlags, FlagActive))
                s.action("the tape moves once taping is off");
            s.action(key == 'b' ? "back 5 s" : "forward 5 s");
            writeWord(key == 'b' ? cb.skipBack : cb.skipForward, 5);
        } else if (key == 'r') {
            s.action("rewind");
            writeWord(cb.rewindRequest, 1);
        } else if (key == 'e') {
            s.action("to the end");
            writeWord(cb.endRequest, 1);
        } else if (key == 'h') {
            bool hold = readWord(cb.holdAudio) == 0;
            s.action(hold ? "hold" : "hold off");
            writeWord(cb.holdAudio, hold ? 1 : 0);
        } else if (key == 'k' && far) {
            s.action("far end keys *" + code + "#");
            far->key("*" + code + "#");
        } else if (key == 'x' && far) {
            s.action("far end hangs up");
            far->hangUp();
        } else if (key == '.') {
            s.sleepFor(std::chrono::milliseconds(200));
        } else if (key == '?' || key == '\n') {
            s.action("keys: 0-9*#A-D dtmf, t taping, b/f back/forward, r/e rewind/end, h hold, q hang up");
        }
        // The code is read back and cleared, so the far end can key another.
        if (acquireWord(cb.codeComplete)) {
            s.action("remote code: " + std::string(cb.remoteCode, strnlen(cb.remoteCode, remoteCodeMaxDigits)));
            writeWord(cb.codeComplete, 0);
        }
    }
    if (s.daemonRunning()) {
        s.action("hang up");
        status = endCall(s, cmd);
    } else {
        s.waitDaemon(std::chrono::milliseconds(1000));
    }
    if (far)
        far->stop();
    s.stopWatching();
    transcript.echoTo(nullptr);
    if (!sound.finish(&error))
        status = failure(cmd, error);
    printCallEnd(s);
    if (readWord(cb.errorFlag) && status == exitOk)
        status = exitFailure;
    finishTranscript(c, transcript, &status);
    return status;
}

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
    std::vector<uint8_t> mic;
    bool loop = true;
    if (c.sound.kind == SoundChoice::Kind::Wav) {
        bool ok = true;
        mic = microphoneFrom(c.sound.value, 0, 0, &error, &ok);
        if (!ok)
            return failure(cmd, error);
        loop = false;
    } else if (c.sound.kind == SoundChoice::Kind::Sim) {
        mic = VoiceSignal(29, 160).ulaw(8000 * 60);
    }

    installInterruptHandler();
    Transcript transcript;
    Session s(c.daemonDir, transcript);
    s.prepare(c.wrap);
    ControlBlock& cb = s.cb();
    if (!pathOption(cmd, take, cb.outgoingPath, &status))
        return status;
    writeWord(cb.tapeLimit, static_cast<uint32_t>(limit * bytesPerSecond));
    writeWord(cb.recordFlags, FlagStartRequest);

    SoundEndpoint sound;
    if (!sound.open(c.sound, SoundUse::Record, c.wrap, mic, loop, &error))
        return failure(cmd, error);
    if (c.verbose)
        transcript.echoTo(stderr);
    s.setPhase("record");
    s.showStatus(true);
    s.startWatching();
    if (!s.startRecord(sound.daemonFd(), c.chunk))
        return failure(cmd, "can't start record-daemon");
    sound.closeDaemonEnd();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    s.waitUntil(
        [&] {
            return !s.daemonRunning() || sound.sourceDone() ||
                   (seconds > 0 && std::chrono::steady_clock::now() >= deadline);
        },
        std::chrono::hours(24 * 365));
    if (s.daemonRunning()) {
        s.action("stop");
        cb.recordFlags.fetch_or(FlagStopRequest);
    }
    std::optional<int> st = s.waitDaemon(std::chrono::milliseconds(5000));
    s.stopWatching();
    sound.finish(&error);
    if (st != 0) {
        for (const auto& l : s.linesOf("record-daemon", true))
            fprintf(stderr, "%s\n", l.c_str());
        status = failure(cmd, "record-daemon ended with status " + (st ? std::to_string(*st) : std::string("?")));
    } else {
        uint32_t length = readWord(cb.tapeLength);
        printf("recorded %s: %u bytes (%s)%s\n", take.c_str(), length, tapeTime(length, true).c_str(),
               readWord(cb.tapeFull) ? ", tape limit reached" : "");
    }
    finishTranscript(c, transcript, &status);
    return status;
}

} // namespace callctl
