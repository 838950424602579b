// callctl demo: the whole system on stand-ins, in about half a minute.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "audio_io.h"
#include "command_line.h"
#include "commands.h"
#include "far_end.h"
#include "line.h"
#include "output_file.h"
#include "session.h"
#include "sound_device.h"
#include "tape_wav.h"
#include "voice_signal.h"

namespace callctl {

namespace {

const char* demoUsage =
    "usage: callctl demo [--out DIR] [--seconds N] [--remote WAV] [--local WAV]\n"
    "                    [--daemons DIR] [--verbose] [--force]\n"
    "\n"
    "Runs the three daemons on stand-ins for the line and the sound device:\n"
    "a taped call with DTMF, touchtones, a remote code and tape moves; the\n"
    "tape played back mixed and outgoing-only; a take recorded up to its\n"
    "tape limit; and an answering-machine call with greeting and response.\n"
    "\n"
    "  --out DIR       where the files go (default ./demo-out)\n"
    "  --seconds N     about how long the demo takes, 6 to 600 (default 30)\n"
    "  --remote WAV    what the remote party says (default a synthetic voice)\n"
    "  --local WAV     what the local user says (default a synthetic voice)\n"
    "  --daemons DIR   where the daemons are (default beside callctl, or ../libexec/orvex)\n"
    "  --verbose       print the transcript as it is written\n"
    "  --force, -y     replace the files of an earlier run in DIR (they are put\n"
    "                  in place together when the run is over)\n";

constexpr int chunkSize = 160;
constexpr const char* remoteCodeKeyed = "2468";
constexpr char localKey = '5';

// A source of µ-law audio: a WAV file given by the user, looped, or the
// synthetic voice.
class Talker {
public:
    Talker(uint32_t seed, double pitch) : voice_(seed, pitch) {}
    bool load(const std::string& wav, std::string* error)
    {
        if (wav.empty())
            return true;
        TapeChannels t;
        if (!readWavAsTape(wav, &t, error))
            return false;
        recorded_ = t.channels[0];
        if (recorded_.empty()) {
            *error = wav + " holds no audio";
            return false;
        }
        return true;
    }
    std::vector<uint8_t> next(size_t n)
    {
        if (recorded_.empty())
            return voice_.ulaw(n);
        std::vector<uint8_t> out(n);
        for (auto& b : out) {
            b = recorded_[at_++];
            at_ %= recorded_.size();
        }
        return out;
    }

private:
    VoiceSignal voice_;
    std::vector<uint8_t> recorded_;
    size_t at_ = 0;
};

constexpr const char* demoOutputs[] = {"tape-in.ul",  "tape-out.ul", "call.wav",     "playback.wav",
                                       "playback-outgoing.wav",    "take.ul",      "take.wav",
                                       "greeting.ul", "response.ul", "response.wav", "transcript.txt", "call.png"};

// The demo's files are written under temporary names (the daemons write
// theirs by path) and put in place together when the run is over.
struct DemoFiles {
    std::string dir;
    StagedOutputs staged;
    std::map<std::string, std::string> temp; // name -> temporary path
    std::string final(const std::string& name) const { return dir + "/" + name; }
    std::string path(const std::string& name) const { return temp.at(name); }
    bool stageAll(std::string* error)
    {
        for (const char* name : demoOutputs)
            if ((temp[name] = staged.stage(final(name), error)).empty())
                return false;
        return true;
    }
    // A message about a file, with the name the person knows it by.
    std::string shown(std::string text) const
    {
        for (const auto& [name, t] : temp)
            for (size_t at = text.find(t); at != std::string::npos; at = text.find(t, at))
                text.replace(at, t.size(), final(name));
        return text;
    }
};

bool setPathField(char (&field)[pathFieldSize], const std::string& path, std::string* error)
{
    if (path.size() >= pathFieldSize) {
        *error = "path " + path + " is longer than the control block's 127 bytes; choose a shorter --out";
        return false;
    }
    sim::Segment::setPath(field, path);
    return true;
}

std::string absolute(const std::string& path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd))
        return path;
    return std::string(cwd) + "/" + path;
}

bool makeDirs(const std::string& dir, std::string* error)
{
    std::string partial;
    for (size_t i = 0; i <= dir.size(); ++i) {
        if (i == dir.size() || (dir[i] == '/' && i > 0)) {
            partial = dir.substr(0, i);
            if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
                *error = "can't create " + partial + ": " + strerror(errno);
                return false;
            }
        }
    }
    return true;
}

std::chrono::milliseconds ms(double seconds)
{
    return std::chrono::milliseconds(static_cast<long>(seconds * 1000));
}

struct Outcome {
    bool ok = true;
    std::vector<std::string> problems;
    void fail(const std::string& why)
    {
        ok = false;
        // After Ctrl-C every later step falls short; only the cause is news.
        if (!interrupted || why == "interrupted")
            problems.push_back(why);
    }
};

// Every step waits for what the daemons report, never for the clock: a
// loaded machine makes the demo slower, not wrong.  The deadline is ten
// times what the step takes on an idle machine, and at least 30 s: a
// daemon held up for seconds on a busy machine is slow, not broken.
constexpr std::chrono::milliseconds patienceFloor{30000};

std::chrono::milliseconds patience(std::chrono::milliseconds expected)
{
    return std::max<std::chrono::milliseconds>(expected * 10, patienceFloor);
}

bool await(Session& s, Outcome& o, const std::string& what, std::chrono::milliseconds expected,
           const std::function<bool()>& condition)
{
    auto deadline = patience(expected);
    if (s.waitUntil(condition, deadline))
        return true;
    char waited[32];
    snprintf(waited, sizeof waited, "%.1f s", deadline.count() / 1000.0);
    o.fail("waited " + std::string(waited) + " for " + what);
    return false;
}

// The tape grows at the pace of the line, 8000 bytes a second.
bool tapeReaches(Session& s, Outcome& o, uint32_t position, const std::string& step)
{
    uint32_t now = readWord(s.cb().tapePosition);
    auto expected = ms((position > now ? position - now : 0) / double(bytesPerSecond));
    return await(s, o, "the tape to reach " + tapeTime(position, true) + " (" + step + ")", expected,
                 [&] { return readWord(s.cb().tapePosition) >= position; });
}

// Sets FlagStartRequest afresh; the application clears what the last run left.
void requestTaping(ControlBlock& c)
{
    writeWord(c.recordFlags, FlagStartRequest);
}

bool tapingOn(Session& s, Outcome& o)
{
    s.action("taping on");
    requestTaping(s.cb());
    return await(s, o, "taping to start (recordFlags Active)", 100ms,
                 [&] { return flagSet(s.cb().recordFlags, FlagActive); });
}

bool tapingOff(Session& s, Outcome& o)
{
    s.action("taping off");
    s.cb().recordFlags.fetch_or(FlagStopRequest);
    return await(s, o, "taping to stop (recordFlags Stopped)", 100ms,
                 [&] { return flagSet(s.cb().recordFlags, FlagStopped); });
}

uint32_t seconds(double s)
{
    return static_cast<uint32_t>(std::lround(s * bytesPerSecond));
}

struct CallResult {
    uint32_t tapeLength = 0;
    std::string codeRead;
    bool dtmfSent = false;
    size_t inBytes = 0, outBytes = 0;
};

// The call's steps come at points of the tape (fractions of T seconds), so
// what is taped is the same however busy the machine is.
CallResult runCall(Session& s, const DemoFiles& f, double T, Talker& remote, Talker& local, Outcome& o)
{
    CallResult r;
    ControlBlock& c = s.cb();
    std::string error;
    s.setPhase("call");
    s.trackTape(true);
    if (!writeWholeFile(f.path("tape-in.ul"), {}, &error) || !writeWholeFile(f.path("tape-out.ul"), {}, &error) ||
        !setPathField(c.ingoingPath, f.path("tape-in.ul"), &error) ||
        !setPathField(c.outgoingPath, f.path("tape-out.ul"), &error)) {
        o.fail(error);
        return r;
    }
    writeWord(c.answerMode, 0);
    writeWord(c.audioFd, 0);
    writeWord(c.tapePosition, 0);
    writeWord(c.tapeLimit, 600 * bytesPerSecond);

    sim::Line line;
    sim::SoundDevice sound(sim::SoundDevice::Kind::Socket, WrapUlaw);
    sound.setPaced(true);
    // The local party talks for as long as the call lasts, so that a machine
    // that holds the daemon up for seconds makes the call longer, never mute.
    sound.feedFrom([&](size_t n) { return local.next(n); });
    FarEnd far(line, [&](size_t n) { return remote.next(n); });

    if (!s.startVoicePhone(line.daemonFd(), sound.daemonFd(), chunkSize)) {
        o.fail("voicephone-daemon did not start");
        return r;
    }
    line.closeDaemonEnd();
    sound.closeDaemonEnd();
    if (!await(s, o, "the call to come up (phoneUp 1)", 300ms, [&] { return acquireWord(c.phoneUp) == 1; })) {
        writeWord(c.stopRequest, 1);
        s.waitDaemon(patienceFloor);
        return r;
    }
    far.start();
    // Both directions carry audio before the tape starts.
    await(s, o, "audio both ways (the speaker and the far end hearing the daemon)", 200ms,
          [&] { return sound.playedCount() > 0 && far.receivedCount() > 0; });

    tapingOn(s, o);
    tapeReaches(s, o, seconds(0.04 * T), "the DTMF key");
    s.action(std::string("send DTMF '") + localKey + "'");
    writeByte(c.dtmfKey, static_cast<uint8_t>(localKey));
    r.dtmfSent = await(s, o, "the DTMF key to be sent (dtmfKey and dtmfPending back to 0)", 300ms,
                       [&] { return readWord(c.dtmfPending) == 0 && readByte(c.dtmfKey) == 0; });

    tapeReaches(s, o, seconds(0.10 * T), "the remote code");
    s.action(std::string("far end keys the remote code *") + remoteCodeKeyed + "#");
    far.key(std::string("*") + remoteCodeKeyed + "#");
    // One key every 100 ms, and the daemon's tones between.
    if (await(s, o, "a complete remote code (codeComplete 1)", 1000ms, [&] { return acquireWord(c.codeComplete) == 1; })) {
        r.codeRead = std::string(c.remoteCode, strnlen(c.remoteCode, remoteCodeMaxDigits));
        s.action("remote code read back: " + r.codeRead);
        writeWord(c.codeComplete, 0);
    }

    tapeReaches(s, o, seconds(0.37 * T), "taping off");
    tapingOff(s, o);
    uint32_t back = static_cast<uint32_t>(std::max(1.0, std::round(0.12 * T)));
    // The supervisor moves from where the pumps left the tape.
    uint32_t from = readWord(c.tapePosition);
    s.action("skip back " + std::to_string(back) + " s");
    writeWord(c.skipBack, back);
    // The request word goes back to 0 before the positions are stored, the
    // tape position first: all three alike, and moved, is the move done.
    bool moved = await(s, o, "the skip back to be served (skipBack 0, positions stored)", 100ms, [&] {
        uint32_t at = readWord(c.tapePosition);
        return readWord(c.skipBack) == 0 && at == readWord(c.ingoingPosition) &&
               at == readWord(c.outgoingPosition) && (at != from || from == 0);
    });
    if (moved) {
        uint32_t to = readWord(c.tapePosition);
        s.markMove(from, to, "back " + std::to_string(back) + " s");
        s.action("tape at " + tapeTime(to, true) + " of " + tapeTime(readWord(c.tapeLength), true));
    }
    tapingOn(s, o);
    tapeReaches(s, o, readWord(c.tapePosition) + seconds(0.17 * T), "taping off");
    tapingOff(s, o);

    from = readWord(c.tapePosition);
    s.action("move to the end");
    writeWord(c.endRequest, 1);
    if (await(s, o, "the move to the end (endDone 1)", 100ms, [&] { return acquireWord(c.endDone) == 1; })) {
        uint32_t to = readWord(c.tapePosition);
        s.markMove(from, to, "to the end");
        s.action("tape at " + tapeTime(to, true));
    }
    tapingOn(s, o);
    tapeReaches(s, o, readWord(c.tapePosition) + seconds(0.26 * T), "taping off");
    tapingOff(s, o);
    r.tapeLength = readWord(c.tapeLength);

    if (interrupted) {
        s.action("interrupted: stop request");
        writeWord(c.stopRequest, 1);
    } else {
        s.action("far end hangs up (DLE ETX)");
        far.hangUp();
    }
    std::optional<int> status = s.waitDaemon(30000ms);
    if (status != 0)
        o.fail("voicephone-daemon did not end cleanly after the hang-up");
    far.stop();
    s.trackTape(false);

    std::vector<uint8_t> in, out;
    readWholeFile(f.path("tape-in.ul"), &in, &error);
    readWholeFile(f.path("tape-out.ul"), &out, &error);
    r.inBytes = in.size();
    r.outBytes = out.size();
    if (r.codeRead != remoteCodeKeyed)
        o.fail("remote code read back \"" + r.codeRead + "\", keyed \"" + remoteCodeKeyed + "\"");
    return r;
}

struct PlayResult {
    size_t mixed = 0, outgoing = 0;
};

bool playOnce(Session& s, bool outgoingOnly, std::vector<uint8_t>* played, size_t expected, Outcome& o)
{
    ControlBlock& c = s.cb();
    sim::SoundDevice speaker(sim::SoundDevice::Kind::PlaybackPipe, WrapUlaw);
    writeWord(c.outgoingOnly, outgoingOnly ? 1 : 0);
    writeWord(c.tapePosition, 0);
    writeWord(c.playFlags, FlagStartRequest);
    s.action(outgoingOnly ? "play the outgoing side alone" : "play the tape mixed");
    if (!s.startPlayback(speaker.daemonFd(), chunkSize)) {
        o.fail("playback-daemon did not start");
        return false;
    }
    speaker.closeDaemonEnd();
    // Unpaced, the tape plays in a fraction of its length.
    auto expectedTime = ms(expected / double(bytesPerSecond));
    if (s.waitDaemon(patience(expectedTime)) != 0)
        o.fail("playback-daemon did not end cleanly");
    // What the daemon wrote last may still be in the pipe: the speaker has
    // it all once the pipe is closed and empty.
    if (!speaker.waitSinkClosed(patience(expectedTime)))
        o.fail("waited in vain for the stand-in speaker to take all the daemon played");
    *played = speaker.played();
    return true;
}

PlayResult runPlayback(Session& s, const DemoFiles& f, Outcome& o)
{
    PlayResult r;
    s.setPhase("playback");
    std::string error;
    std::vector<uint8_t> in, out, mixed, outgoing;
    readWholeFile(f.path("tape-in.ul"), &in, &error);
    readWholeFile(f.path("tape-out.ul"), &out, &error);
    size_t both = std::min(in.size(), out.size());
    if (playOnce(s, false, &mixed, both, o)) {
        r.mixed = mixed.size();
        if (!writeUlawWav(f.path("playback.wav"), 1, mixed, WavEncoding::Ulaw, &error))
            o.fail(error);
        if (mixed.size() != both)
            o.fail("mixed playback gave " + std::to_string(mixed.size()) + " samples, the tape holds " +
                   std::to_string(both));
    }
    if (playOnce(s, true, &outgoing, out.size(), o)) {
        r.outgoing = outgoing.size();
        if (!writeUlawWav(f.path("playback-outgoing.wav"), 1, outgoing, WavEncoding::Ulaw, &error))
            o.fail(error);
        if (outgoing != out)
            o.fail("outgoing-only playback differs from the outgoing tape");
    }
    writeWord(s.cb().outgoingOnly, 0);
    return r;
}

struct RecordResult {
    size_t bytes = 0;
    uint32_t limit = 0;
    bool full = false;
};

RecordResult runRecord(Session& s, const DemoFiles& f, double seconds, Outcome& o)
{
    RecordResult r;
    ControlBlock& c = s.cb();
    std::string error;
    s.setPhase("record");
    VoiceSignal microphone(29, 160);
    sim::SoundDevice mic(sim::SoundDevice::Kind::RecordPipe, WrapUlaw);
    mic.setPaced(true);
    mic.feed(microphone.ulaw(static_cast<size_t>((seconds + 3) * bytesPerSecond)));
    r.limit = static_cast<uint32_t>(std::lround(seconds * bytesPerSecond)) / chunkSize * chunkSize;
    if (!setPathField(c.outgoingPath, f.path("take.ul"), &error)) {
        o.fail(error);
        return r;
    }
    writeWord(c.tapeLimit, r.limit);
    writeWord(c.outgoingPosition, 0);
    writeWord(c.tapeFull, 0);
    writeWord(c.recordFlags, FlagStartRequest);
    s.action("record a take of at most " + tapeTime(r.limit, true));
    if (!s.startRecord(mic.daemonFd(), chunkSize)) {
        o.fail("record-daemon did not start");
        return r;
    }
    mic.closeDaemonEnd();
    await(s, o, "record-daemon to end at its tape limit", ms(seconds), [&] { return !s.daemonRunning(); });
    if (interrupted)
        c.recordFlags.fetch_or(FlagStopRequest);
    if (s.waitDaemon(patienceFloor) != 0)
        o.fail("record-daemon did not end cleanly");
    r.full = readWord(c.tapeFull) == 1;
    std::vector<uint8_t> take;
    readWholeFile(f.path("take.ul"), &take, &error);
    r.bytes = take.size();
    if (!r.full)
        o.fail("the take did not reach its tape limit");
    if (!writeUlawWav(f.path("take.wav"), 1, take, WavEncoding::Ulaw, &error))
        o.fail(error);
    return r;
}

struct AnswerResult {
    size_t greeting = 0, greetingHeard = 0, response = 0;
    uint32_t limit = 0;
    double greetingSeconds = 0;
};

AnswerResult runAnswer(Session& s, const DemoFiles& f, double greetingSeconds, double responseSeconds, Outcome& o)
{
    AnswerResult r;
    ControlBlock& c = s.cb();
    std::string error;
    s.setPhase("answer");
    VoiceSignal greetingVoice(41, 190);
    std::vector<uint8_t> greeting = greetingVoice.ulaw(static_cast<size_t>(std::lround(greetingSeconds * bytesPerSecond)));
    r.greeting = greeting.size();
    r.limit = static_cast<uint32_t>(std::lround(responseSeconds * bytesPerSecond));
    if (!writeWholeFile(f.path("greeting.ul"), greeting, &error) ||
        !setPathField(c.messagePath, f.path("greeting.ul"), &error) ||
        !setPathField(c.responsePath, f.path("response.ul"), &error)) {
        o.fail(error);
        return r;
    }
    // A pty buffers seconds of audio, far more than a real line; this far
    // end brings a line that takes 8000 bytes a second, so the greeting is
    // paced by the line as on a real one.
    sim::SoundDevice sound(sim::SoundDevice::Kind::Socket, WrapUlaw);
    VoiceSignal callerVoice(53, 125);
    FarEnd caller([&](size_t n) { return callerVoice.ulaw(n); });
    caller.talk(false);
    writeWord(c.answerMode, 1);
    writeWord(c.responseLimit, r.limit);
    // Our own number for the sound device; the daemon closes its copy.
    writeWord(c.audioFd, static_cast<uint32_t>(sound.daemonFd()));
    if (!s.startVoicePhone(caller.daemonFd(), sound.daemonFd(), chunkSize)) {
        o.fail("voicephone-daemon did not start in answer mode");
        return r;
    }
    caller.closeDaemonEnd();
    sound.closeDaemonEnd();
    if (!await(s, o, "the answer-mode call to come up (phoneUp 1)", 300ms,
               [&] { return acquireWord(c.phoneUp) == 1; })) {
        writeWord(c.stopRequest, 1);
        s.waitDaemon(patienceFloor);
        return r;
    }
    caller.start();
    s.action("play the greeting");
    auto started = std::chrono::steady_clock::now();
    writeWord(c.messageStart, 1);
    await(s, o, "the greeting to end (messageDone 1)", ms(greetingSeconds),
          [&] { return readWord(c.messageDone) == 1; });
    r.greetingSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    await(s, o, "the caller to hear the whole greeting", 200ms,
          [&] { return caller.receivedCount() >= greeting.size(); });
    r.greetingHeard = caller.receivedCount();
    if (caller.received() != greeting)
        o.fail("what went down the line differs from the greeting");

    s.action("record the caller's message, at most " + tapeTime(r.limit, true));
    writeWord(c.responseStart, 1);
    caller.talk(true);
    await(s, o, "the response to reach its limit (responseDone 1)", ms(responseSeconds),
          [&] { return readWord(c.responseDone) == 1; });
    if (interrupted) {
        s.action("interrupted: stop request");
        writeWord(c.stopRequest, 1);
    } else {
        s.action("caller hangs up (DLE ETX)");
        caller.hangUp();
    }
    if (s.waitDaemon(30000ms) != 0)
        o.fail("voicephone-daemon did not end cleanly in answer mode");
    caller.stop();
    writeWord(c.answerMode, 0);
    writeWord(c.audioFd, 0);

    std::vector<uint8_t> response;
    readWholeFile(f.path("response.ul"), &response, &error);
    r.response = response.size();
    if (r.response != r.limit)
        o.fail("the response file holds " + std::to_string(r.response) + " bytes, the limit is " +
               std::to_string(r.limit));
    if (!writeUlawWav(f.path("response.wav"), 1, response, WavEncoding::Ulaw, &error))
        o.fail(error);
    return r;
}

// One entry of the summary: "  label     text", the text wrapped at spaces
// onto lines indented under it, so no line is wider than `width` (but for
// a single word that is wider by itself, such as a long path).
std::string fitColumns(const char* label, const std::string& text, size_t width)
{
    std::string indent = *label ? "            " : "  ";
    std::string out, lineText = *label ? "  " + std::string(label) : "";
    lineText.resize(*label ? indent.size() : 0, ' ');
    bool first = true;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find(' ', at);
        if (end == std::string::npos)
            end = text.size();
        std::string word = text.substr(at, end - at);
        at = end + 1;
        if (!first && lineText.size() + 1 + word.size() > width) {
            out += lineText + "\n";
            lineText = indent;
        } else if (!first) {
            lineText += ' ';
        }
        lineText += word;
        first = false;
    }
    return out + lineText + "\n";
}

} // namespace

int demoCommand(const Args& args)
{
    ScannedArgs a;
    std::string error;
    if (!scanArguments(args,
                       {{"--out", true}, {"--seconds", true}, {"--remote", true}, {"--local", true},
                        {"--daemons", true}, {"--verbose", false}, {"--force", false}, {"-y", false}},
                       &a, &error))
        return usageError("demo", error);
    if (a.help)
        return printUsage(demoUsage);
    if (!a.positional.empty())
        return usageError("demo", "unexpected argument '" + a.positional[0] + "'");
    double seconds = 30;
    if (has(a, "--seconds") && !parseSeconds("--seconds", a.values["--seconds"], 6, 600, &seconds, &error))
        return usageError("demo", error);

    Talker remote(17, 118), local(23, 205);
    if (!remote.load(valueOr(a, "--remote", ""), &error) || !local.load(valueOr(a, "--local", ""), &error))
        return failure("demo", error);
    std::string daemonDir;
    if (!findDaemonDir(valueOr(a, "--daemons", ""), &daemonDir, &error))
        return failure("demo", error);
    std::string shownDir = valueOr(a, "--out", "demo-out");
    DemoFiles f;
    f.dir = absolute(shownDir);
    while (f.dir.size() > 1 && f.dir.back() == '/')
        f.dir.pop_back();
    std::vector<std::string> inputs, outputs;
    for (const char* o : {"--remote", "--local"})
        if (has(a, o))
            inputs.push_back(a.values[o]);
    for (const char* name : demoOutputs)
        outputs.push_back(f.final(name));
    std::string problem = outputProblem(inputs, outputs, has(a, "--force") || has(a, "-y"));
    if (!problem.empty())
        return failure("demo", problem);
    if (!makeDirs(f.dir, &error) || !f.stageAll(&error))
        return failure("demo", error);

    installInterruptHandler();
    Transcript transcript;
    if (has(a, "--verbose"))
        transcript.echoTo(stdout);
    Outcome o;
    CallResult call;
    PlayResult play;
    RecordResult take;
    AnswerResult answer;
    {
        Session s(daemonDir, transcript);
        s.prepare(WrapUlaw);
        s.showStatus(!has(a, "--verbose"));
        s.startWatching();
        call = runCall(s, f, seconds * 0.55, remote, local, o);
        std::vector<TapeMark> marks = s.marks();
        if (!interrupted)
            play = runPlayback(s, f, o);
        if (!interrupted)
            take = runRecord(s, f, seconds * 0.12, o);
        if (!interrupted)
            answer = runAnswer(s, f, seconds * 0.12, seconds * 0.18, o);
        s.stopWatching();

        std::vector<uint8_t> in, out;
        readWholeFile(f.path("tape-in.ul"), &in, &error);
        readWholeFile(f.path("tape-out.ul"), &out, &error);
        if (!exportPair(f.path("tape-in.ul"), f.path("tape-out.ul"), f.path("call.wav"), WavEncoding::Ulaw, &error))
            o.fail(error);
        CallPicture picture;
        picture.remote = in;
        picture.local = out;
        picture.marks = marks;
        picture.title = "Taped call, " + tapeTime(static_cast<uint32_t>(std::max(in.size(), out.size())), true) +
                        ": remote party above, local user below";
        if (!drawCallPicture(picture, f.path("call.png"), &error))
            o.fail(error);

        size_t dying = 0;
        for (const char* p : {"voicephone-daemon", "playback-daemon", "record-daemon"})
            for (const auto& l : s.linesOf(p))
                dying += l.ends_with("Dying");
        if (interrupted)
            o.fail("interrupted");
        // The transcript names each file as the person finds it.
        std::string text;
        for (const auto& e : transcript.entries())
            text += f.shown(Transcript::format(e)) + "\n";
        if (!writeWholeFile(f.path("transcript.txt"), std::vector<uint8_t>(text.begin(), text.end()), &error))
            o.fail(error);
        // Files of a failed run are not left to be taken for good ones; the
        // transcript tells what happened.
        if (!(o.ok ? f.staged.commitAll(&error) : f.staged.commit(f.final("transcript.txt"), &error)))
            o.fail(error);

        char line[160];
        std::string summary;
        auto add = [&](const char* label, const std::string& text) { summary += fitColumns(label, text, 80); };
        snprintf(line, sizeof line, "callctl demo: %s in %.1f s,", o.ok ? "done" : "FAILED", transcript.elapsed());
        summary += fitColumns("", std::string(line) + " files in " + shownDir +
                                      (o.ok ? "/" : "/ (only transcript.txt kept)"),
                              80);
        snprintf(line, sizeof line, "tape %s: %zu bytes remote, %zu local; DTMF '%c' %s;",
                 tapeTime(call.tapeLength, true).c_str(), call.inBytes, call.outBytes, localKey,
                 call.dtmfSent ? "sent" : "NOT sent");
        add("call", std::string(line) + " touchtones " +
                        (s.touchtonesHeard().empty() ? "none" : s.touchtonesHeard()) + "; remote code keyed " +
                        remoteCodeKeyed + ", read back " + (call.codeRead.empty() ? "nothing" : call.codeRead));
        add("playback", "mixed " + std::to_string(play.mixed) + " samples (playback.wav), outgoing only " +
                            std::to_string(play.outgoing) + " (playback-outgoing.wav)");
        add("record", "take.ul " + std::to_string(take.bytes) + " bytes of a " + std::to_string(take.limit) +
                          "-byte limit" + (take.full ? ", tape full" : ""));
        snprintf(line, sizeof line, "greeting %zu bytes down the line in %.1f s; response.ul %zu bytes (limit %u)",
                 answer.greetingHeard, answer.greetingSeconds, answer.response, answer.limit);
        add("answer", line);
        add("daemons", std::to_string(dying) + " \"Dying\" lines; transcript.txt " +
                           std::to_string(transcript.entries().size()) + " lines; picture call.png");
        for (const auto& p : o.problems)
            add("problem", f.shown(p));
        fputs(summary.c_str(), stdout);
    }
    return o.ok ? exitOk : exitFailure;
}

} // namespace callctl
