#include "command_options.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "output_file.h"
#include "session.h"
#include "tape_wav.h"
#include "voice_signal.h"

namespace callctl {

const char* commonOptionsHelp =
    "  --sound DEV         the sound device: alsa or alsa:DEVICE (an ALSA device,\n"
    "                      'default' when not named, so PipeWire and PulseAudio\n"
    "                      serve it), FILE.wav (a stand-in that writes what is\n"
    "                      played to the file; for record, what the microphone\n"
    "                      hears), an OSS device path, or sim (default: a\n"
    "                      stand-in with a synthetic voice as microphone)\n"
    "  --sound-cmd CMD     run CMD as the sound device: it reads what is played\n"
    "                      on its standard input and, for call, answer and\n"
    "                      record, writes the microphone on its standard output;\n"
    "                      for play e.g. \"aplay -q -t raw -f MU_LAW -r 8000\"\n"
    "  --wrap 1|16         sound samples: 1 mu-law (default), 16 signed 16-bit\n"
    "  --chunk N           samples per read and write, 1 to 65536 (default 160)\n"
    "  --daemons DIR       where the daemons are\n"
    "  --transcript FILE   write every line the daemons print, every change of the\n"
    "                      control block and callctl's actions to FILE, as they\n"
    "                      come (tail -f follows it)\n"
    "  --verbose           print all of that on the terminal as it comes\n"
    "  -q, --quiet         print only the summary and errors\n"
    "  --force, -y         replace existing output files (a WAV given as --sound,\n"
    "                      the transcript; answer: the response file)\n";

namespace {

const std::vector<OptionRule> commonRules = {
    {"--sound", true},   {"--sound-cmd", true},  {"--wrap", true},   {"--chunk", true},
    {"--daemons", true}, {"--transcript", true}, {"--verbose", false}, {"--force", false},  {"-y", false},
    {"-q", false},       {"--quiet", false},
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

} // namespace

bool scanCommand(const char* cmd, const Args& args, std::vector<OptionRule> own, const char* usage, ScannedArgs* a,
                 int* status, bool takesWords)
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
    if (!takesWords && !a->positional.empty()) {
        *status = usageError(cmd, "unexpected argument '" + a->positional[0] + "'");
        return false;
    }
    return true;
}

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
    c->force = has(a, "--force") || has(a, "-y");
    c->quiet = has(a, "-q") || has(a, "--quiet");
    if (c->quiet && c->verbose) {
        *status = usageError(command, "give -q or --verbose, not both");
        return false;
    }
    if (!findDaemonDir(valueOr(a, "--daemons", ""), &c->daemonDir, &error)) {
        *status = failure(command, error);
        return false;
    }
    return true;
}

bool micCommandFrom(const std::string& command, ScannedArgs& a, Common* c, int* status)
{
    if (!has(a, "--mic-cmd"))
        return true;
    c->sound.micCommand = a.values["--mic-cmd"];
    if (c->sound.kind != SoundChoice::Kind::Command) {
        *status = usageError(command, "--mic-cmd goes with --sound-cmd, which plays what the microphone command hears");
        return false;
    }
    if (c->sound.micCommand.empty()) {
        *status = usageError(command, "--mic-cmd: give a command");
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

bool recordingMicrophone(const SoundChoice& sound, double simSeconds, bool simLoops, RecordingMicrophone* mic,
                         std::string* error)
{
    if (sound.kind == SoundChoice::Kind::Wav) {
        bool ok = true;
        mic->audio = microphoneFrom(sound.value, 0, 0, error, &ok);
        mic->loop = false;
        return ok;
    }
    if (sound.kind == SoundChoice::Kind::Sim) {
        mic->audio = VoiceSignal(29, 160).ulaw(static_cast<size_t>(simSeconds * 8000));
        mic->loop = simLoops;
    }
    return true;
}

bool startRecording(const char* cmd, const Common& c, const RecordingMicrophone& mic, const TakeSettings& t,
                    Recording* r, int* status)
{
    std::string error;
    installInterruptHandler();
    Session& s = r->session.emplace(c.daemonDir, r->transcript);
    s.prepare(c.wrap);
    ControlBlock& cb = s.cb();
    if (!pathOption(cmd, t.take, cb.outgoingPath, status))
        return false;
    writeWord(cb.tapeLimit, t.tapeLimit);
    writeWord(cb.recordFlags, FlagStartRequest);
    if (!r->sound.open(c.sound, SoundUse::Record, c.wrap, mic.audio, mic.loop, &error)) {
        *status = failure(cmd, error + t.failureNote);
        return false;
    }
    if (t.holdKeyboard)
        r->keyboard.emplace();
    if (!startTranscript(s, r->transcript, c, false, status))
        return false;
    s.setPhase(t.phase);
    s.showStatus(true);
    s.startWatching();
    if (!s.startRecord(r->sound.daemonFd(), c.chunk)) {
        *status = failure(cmd, "can't start record-daemon" + t.failureNote);
        return false;
    }
    r->sound.closeDaemonEnd();
    return true;
}

TakeEnd endRecording(const char* cmd, const Common& c, Recording& r, std::chrono::milliseconds patience)
{
    Session& s = *r.session;
    ControlBlock& cb = s.cb();
    if (s.daemonRunning()) {
        s.action("stop");
        cb.recordFlags.fetch_or(FlagStopRequest);
        s.waitUntil([&] { return !flagSet(cb.recordFlags, FlagActive); }, patience, false);
        writeWord(cb.recordRunning, 0);
    }
    std::optional<int> st = s.waitDaemon(patience);
    s.stopWatching();
    showComplaints(s, cmd, c);
    TakeEnd end;
    end.soundOk = r.sound.finish(&end.soundError);
    RunFacts facts = s.factsOfLast(st);
    facts.chunkSize = static_cast<uint32_t>(c.chunk);
    end.verdict = judgeRun(facts);
    return end;
}

bool startTranscript(Session& s, Transcript& t, const Common& c, bool console, int* status)
{
    s.setQuiet(c.quiet);
    if (c.verbose)
        t.echoTo(stderr, true);
    else if (console && !c.quiet && isatty(STDERR_FILENO))
        t.echoTo(stderr, false);
    std::string error;
    if (!c.transcript.empty() && !t.follow(c.transcript, &error)) {
        *status = failure("transcript", error);
        return false;
    }
    return true;
}

void finishTranscript(const Common& c, Transcript& t, int* status)
{
    std::string error;
    t.echoTo(nullptr);
    if (!c.transcript.empty() && !t.stopFollowing(&error)) {
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

int endCall(Session& s, const char* command)
{
    writeWord(s.cb().stopRequest, 1);
    std::optional<int> st = s.waitDaemon(daemonPatience);
    if (st != 0)
        return failure(command, "voicephone-daemon did not end cleanly");
    return exitOk;
}

bool checkOutputs(const char* command, const Common& c, SoundUse use, std::vector<std::string> inputs,
                  std::vector<std::string> outputs, int* status, const std::vector<std::string>& tapes)
{
    if (c.sound.kind == SoundChoice::Kind::Wav)
        (use == SoundUse::Record ? inputs : outputs).push_back(c.sound.value);
    if (!c.transcript.empty())
        outputs.push_back(c.transcript);
    std::string problem = outputProblem(inputs, outputs, c.force);
    if (problem.empty()) {
        // The tapes are checked as outputs that may exist, against all else.
        std::vector<std::string> others = inputs;
        others.insert(others.end(), outputs.begin(), outputs.end());
        problem = outputProblem(others, tapes, true);
    }
    if (problem.empty())
        return true;
    *status = failure(command, problem);
    return false;
}

bool showComplaints(Session& s, const char* command, const Common& c)
{
    std::vector<std::string> fresh = s.takeNewComplaints();
    // With --verbose the transcript on the terminal shows them already.
    if (!c.verbose)
        for (const auto& l : fresh)
            s.tell(std::string("callctl ") + command + ": the daemon says: " + l);
    return !fresh.empty();
}

bool checkWritable(const std::string& path, const char* what, std::string* error)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool created = fd >= 0;
    if (!created && errno == EEXIST)
        fd = open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *error = std::string("can't write ") + what + " " + path + ": " + strerror(errno);
        return false;
    }
    close(fd);
    if (created)
        unlink(path.c_str());
    return true;
}

} // namespace callctl
