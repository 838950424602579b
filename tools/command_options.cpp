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
    "  --verbose           print them as they come\n"
    "  --force, -y         replace existing output files (a WAV given as --sound,\n"
    "                      the transcript; answer: the response file)\n";

namespace {

const std::vector<OptionRule> commonRules = {
    {"--sound", true},   {"--sound-cmd", true},  {"--wrap", true},   {"--chunk", true},
    {"--daemons", true}, {"--transcript", true}, {"--verbose", false}, {"--force", false},  {"-y", false},
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

void finishTranscript(const Common& c, const Transcript& t, int* status)
{
    std::string error;
    if (!c.transcript.empty() && !writeAtomically(
                                     c.transcript, [&](const std::string& temp, std::string* e) { return t.write(temp, e); },
                                     &error)) {
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
    std::optional<int> st = s.waitDaemon(std::chrono::milliseconds(5000));
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
