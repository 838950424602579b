// callctl messages: the owner at home -- the mailbox listed and filed, a
// message played to the sound device, the greeting recorded from the
// microphone and played back.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "audio_io.h"
#include "command_options.h"
#include "console.h"
#include "mailbox.h"
#include "mailbox_commands.h"
#include "session.h"
#include "tape_wav.h"

namespace callctl {

namespace {

const char* messagesUsage =
    "usage: callctl messages [--mailbox DIR] [--json] [REQUEST]\n"
    "                        [sound and common options]\n"
    "\n"
    "Requests (list when none is given):\n"
    "  list                the new and saved messages: number, state, date and\n"
    "                      time, caller, duration\n"
    "  play N              play message N to the sound device (through\n"
    "                      playback-daemon; marks it heard)\n"
    "  delete N            move message N to the trash (kept 7 days)\n"
    "  save N              file message N as saved\n"
    "  trash               the trash, numbered for restore\n"
    "  restore N           bring message N of the trash back as new\n"
    "  purge               remove what the trash has kept 7 days, now\n"
    "  export N FILE.wav   write message N as a WAV (--force replaces FILE.wav)\n"
    "  greeting record     record a new greeting from the microphone (through\n"
    "                      record-daemon) until q or Enter, the end of the\n"
    "                      microphone's input or 30 s; it replaces\n"
    "                      DIR/greeting.ul only once complete, and is then\n"
    "                      played back\n"
    "  greeting play       play the greeting\n"
    "\n"
    "  --mailbox DIR       the mailbox (default: $ORVEX_MAILBOX, else\n"
    "                      ~/.local/share/orvex/mailbox)\n"
    "  --json              list and trash as JSON, for scripts\n";

constexpr double greetingMaxSeconds = 30;

// The options every command shares, as given, for the command that plays.
Args commonArgs(const ScannedArgs& a)
{
    static const char* valued[] = {"--sound", "--sound-cmd", "--wrap", "--chunk", "--daemons", "--transcript"};
    static const char* switches[] = {"--verbose", "--force", "-y", "-q", "--quiet"};
    Args out;
    for (const char* v : valued)
        if (has(a, v)) {
            out.push_back(v);
            out.push_back(a.values.at(v));
        }
    for (const char* s : switches)
        if (has(a, s))
            out.push_back(s);
    return out;
}

// A tape file played alone, to the sound device, by `callctl play`.
int playFile(const std::string& path, Args common)
{
    Args args{"--ingoing", path, "--outgoing", path, "--outgoing-only"};
    args.insert(args.end(), common.begin(), common.end());
    return playCommand(args);
}

std::string defaultMailbox()
{
    const char* env = getenv("ORVEX_MAILBOX");
    if (env && *env)
        return env;
    const char* home = getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.local/share/orvex/mailbox";
}

int recordGreeting(Mailbox& mailbox, ScannedArgs& a)
{
    const char* cmd = "messages";
    int status = exitOk;
    std::string error;
    Common c;
    if (!commonFrom(cmd, a, &c, &status))
        return status;
    RecordingMicrophone mic;
    if (!recordingMicrophone(c.sound, 4, false, &mic, &error))
        return failure(cmd, error);
    if (!checkOutputs(cmd, c, SoundUse::Record, {}, {}, &status))
        return status;
    // Recorded beside the greeting, which it replaces only once complete: a
    // failed or empty take leaves the old greeting as it was.
    std::string greeting = mailbox.dir() + "/greeting.ul";
    std::string take = mailbox.dir() + "/.tmp/greeting-" + std::to_string(getpid()) + ".ul";
    unlink(take.c_str());

    std::string keptNote = " (the greeting is unchanged)";
    Recording r;
    if (!startRecording(cmd, c, mic,
                        {.take = take,
                         .tapeLimit = static_cast<uint32_t>(greetingMaxSeconds * bytesPerSecond),
                         .phase = "greeting record",
                         .failureNote = keptNote,
                         .holdKeyboard = true},
                        &r, &status))
        return status;
    Session& s = *r.session;
    ControlBlock& cb = s.cb();
    SoundEndpoint& sound = r.sound;
    s.note("recording the greeting: speak now; q or Enter ends it (at most " +
           std::to_string(static_cast<int>(greetingMaxSeconds)) + " s)");
    bool wasActive = false, keysOpen = true;
    std::string soundProblem;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(static_cast<int>(greetingMaxSeconds) + 5);
    while (s.daemonRunning() && !interrupted && std::chrono::steady_clock::now() < deadline) {
        showComplaints(s, cmd, c);
        s.setProgress("greeting " + tapeTime(readWord(cb.tapeLength)) + " of " +
                      tapeTime(static_cast<uint32_t>(greetingMaxSeconds * bytesPerSecond)));
        // The daemon ends the take itself at the limit or on a failed write.
        bool active = flagSet(cb.recordFlags, FlagActive);
        if (wasActive && !active)
            break;
        wasActive = wasActive || active;
        soundProblem = sound.problem();
        if (!soundProblem.empty() || sound.sourceDone())
            break;
        int key = keysOpen ? readKey(20) : (s.sleepFor(std::chrono::milliseconds(20)), 0);
        if (key < 0)
            keysOpen = false; // standard input ended: only the other ends are left
        if (key == 'q' || key == '\n' || key == '\r' || key == 4)
            break;
    }
    TakeEnd end = endRecording(cmd, c, r, std::chrono::milliseconds(5000));
    struct stat taken{};
    bool have = stat(take.c_str(), &taken) == 0;
    if (!soundProblem.empty() || !end.soundOk || !end.verdict.ok || interrupted) {
        unlink(take.c_str());
        std::string why = !soundProblem.empty() ? soundProblem
                          : !end.soundOk        ? end.soundError
                          : !end.verdict.ok     ? end.verdict.problem
                                                : "interrupted";
        return failure(cmd, why + keptNote);
    }
    if (!have || taken.st_size == 0) {
        unlink(take.c_str());
        return failure(cmd, "nothing was recorded" + keptNote);
    }
    // The daemon has closed the take; it is made durable before it
    // replaces the greeting, so a crash leaves the old one or the new one.
    int fd = open(take.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    bool synced = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0)
        close(fd);
    if (!synced || rename(take.c_str(), greeting.c_str()) != 0) {
        std::string why = strerror(errno);
        unlink(take.c_str());
        return failure(cmd, "can't put the greeting in place as " + greeting + ": " + why + keptNote);
    }
    uint32_t length = static_cast<uint32_t>(taken.st_size);
    printf("recorded the greeting %s: %u bytes (%s)%s\n", greeting.c_str(), length, tapeTime(length, true).c_str(),
           readWord(cb.tapeFull) ? ", the 30 s limit reached" : "");
    finishTranscript(c, r.transcript, &status);
    if (status != exitOk)
        return status;
    // A WAV that served as the microphone is no speaker: the stand-in plays
    // the greeting back then.
    Args common = commonArgs(a);
    if (c.sound.kind == SoundChoice::Kind::Wav) {
        for (size_t i = 0; i + 1 < common.size(); ++i)
            if (common[i] == "--sound")
                common[i + 1] = "sim";
    }
    printf("playing it back:\n");
    fflush(stdout);
    return playFile(greeting, common);
}

} // namespace

int messagesCommand(const Args& args)
{
    const char* cmd = "messages";
    ScannedArgs a;
    int status = exitOk;
    if (!scanCommand(cmd, args, {{"--mailbox", true}, {"--json", false}}, messagesUsage, &a, &status, true))
        return status;
    MessagesRequest request;
    std::string error;
    if (!parseMessagesRequest(a.positional, &request, &error))
        return usageError(cmd, error);
    bool usesDaemons = request.what == MessagesRequest::Play || request.what == MessagesRequest::GreetingRecord ||
                       request.what == MessagesRequest::GreetingPlay;
    bool lists = request.what == MessagesRequest::List || request.what == MessagesRequest::Trash;
    if (has(a, "--json") && !lists)
        return usageError(cmd, "--json is for list and trash");
    if (!usesDaemons) {
        for (const char* o : {"--sound", "--sound-cmd", "--wrap", "--chunk", "--daemons", "--transcript"})
            if (has(a, o))
                return usageError(cmd, std::string(o) + " is for play and greeting");
    }
    std::string dir = valueOr(a, "--mailbox", defaultMailbox());
    Mailbox mailbox(dir);
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        // Only recording a greeting makes a mailbox; the rest would find
        // nothing in a new one, and a mistyped folder is better told.
        if (request.what != MessagesRequest::GreetingRecord)
            return failure(cmd, "no mailbox at " + dir + " ('callctl serve --mailbox DIR' makes one)");
    }
    if (!mailbox.open(&error))
        return failure(cmd, error);

    switch (request.what) {
    case MessagesRequest::Play: {
        Message m;
        if (!messageByNumber(mailbox, request.number, &m, &error))
            return failure(cmd, error);
        status = playFile(m.audioPath, commonArgs(a));
        if (status == exitOk && !m.meta.heard && !mailbox.markHeard(&m, &error))
            return failure(cmd, "played, but can't mark it heard: " + error);
        return status;
    }
    case MessagesRequest::GreetingPlay: {
        std::string greeting = dir + "/greeting.ul";
        if (access(greeting.c_str(), R_OK) != 0)
            return failure(cmd, "no greeting recorded in " + dir + " (calls hear the spoken one); "
                                "'callctl messages greeting record' records one");
        return playFile(greeting, commonArgs(a));
    }
    case MessagesRequest::GreetingRecord:
        return recordGreeting(mailbox, a);
    default:
        break;
    }
    MessagesOptions options;
    options.json = has(a, "--json");
    options.force = has(a, "--force") || has(a, "-y");
    std::string out;
    status = runMessagesRequest(mailbox, request, options, static_cast<int64_t>(time(nullptr)), &out, &error);
    fputs(out.c_str(), stdout);
    if (status != exitOk)
        return failure(cmd, error);
    return status;
}

} // namespace callctl
