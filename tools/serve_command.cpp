// callctl serve: one call answered by the answering machine -- greeting,
// beep, the caller's message into the mailbox, or remote control by the
// owner's touchtones.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <unistd.h>

#include "answering_call.h"
#include "command_options.h"
#include "far_end.h"
#include "mailbox.h"
#include "prompts.h"
#include "session.h"

namespace callctl {

namespace {

const char* serveUsage =
    "usage: callctl serve --mailbox DIR [--line TTY|fd:N|sim] [--greeting FILE]\n"
    "                     [--pin DIGITS] [--max-message SEC] [--on-message CMD]\n"
    "                     [--caller WAV] [sound and common options]\n"
    "\n"
    "Answers one call as an answering machine: plays the greeting and a beep,\n"
    "then records the caller as a new message in the mailbox until the limit,\n"
    "8 s of silence or the hang-up.  A caller who keys *PIN# hears how many\n"
    "messages there are, then each new one; keys 1 next, 2 again, 3 delete,\n"
    "4 save, 0 help, # end.  Three wrong codes end the call.  Run once per\n"
    "call, e.g. by sipline answer --exec 'callctl serve --line fd:$SIPLINE_FD\n"
    "--mailbox DIR'; the caller and called URIs are taken from SIPLINE_CALLER\n"
    "and SIPLINE_CALLED (else \"unknown\").\n"
    "\n"
    "  --mailbox DIR       the mailbox (created when missing): new/, saved/,\n"
    "                      trash/, spoken prompts cached in DIR/.prompts/\n"
    "  --line TTY          the voice tty; fd:N: inherited descriptor N (a stream\n"
    "                      socket or a tty); sim (default): a stand-in caller\n"
    "                      that listens, says its words and hangs up\n"
    "  --greeting FILE     headerless mu-law greeting (default DIR/greeting.ul,\n"
    "                      else a spoken one)\n"
    "  --pin DIGITS        the owner's code, 1 to 16 digits; without it (and\n"
    "                      without ORVEX_PIN in the environment, which ps does\n"
    "                      not show others) remote control is off\n"
    "  --max-message SEC   the longest message (default 120)\n"
    "  --on-message CMD    run /bin/sh -c CMD after each new message, with\n"
    "                      MESSAGE_FILE, MESSAGE_JSON and MESSAGE_WAV set; its\n"
    "                      failure is logged and changes nothing in the mailbox\n"
    "  --caller WAV        what the stand-in caller says (default: 3 s of a\n"
    "                      synthetic voice)\n";

std::string envOr(const char* name, const char* fallback)
{
    const char* v = getenv(name);
    return v && *v ? v : fallback;
}

// The daemon is started in our working folder: a path too long for the
// record's 128-byte fields may still fit relative to it.
std::string shortPath(const std::string& path)
{
    if (path.size() < pathFieldSize || path.empty() || path[0] != '/')
        return path;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd))
        return path;
    std::string here = std::string(cwd) + "/";
    return path.compare(0, here.size(), here) == 0 ? path.substr(here.size()) : path;
}

} // namespace

int serveCommand(const Args& args)
{
    const char* cmd = "serve";
    ScannedArgs a;
    int status = exitOk;
    if (!scanCommand(cmd, args,
                     {{"--mailbox", true},
                      {"--line", true},
                      {"--greeting", true},
                      {"--pin", true},
                      {"--max-message", true},
                      {"--on-message", true},
                      {"--caller", true}},
                     serveUsage, &a, &status))
        return status;
    std::string error;
    if (!has(a, "--mailbox") || a.values["--mailbox"].empty())
        return usageError(cmd, "--mailbox DIR is required");
    std::string dir = a.values["--mailbox"];
    double maxMessage = 120;
    if (!secondsOption(cmd, a, "--max-message", 1, 86400, &maxMessage, &status))
        return status;
    // A service passes the code in the environment: a command line is
    // there for every local user to read.
    const char* pinEnv = getenv("ORVEX_PIN");
    bool pinGiven = has(a, "--pin") || (pinEnv && *pinEnv);
    std::string pinSource = has(a, "--pin") ? "--pin" : "ORVEX_PIN";
    std::string pin = has(a, "--pin") ? a.values["--pin"] : pinEnv ? pinEnv : "";
    if (pinGiven && (pin.empty() || pin.size() > remoteCodeMaxDigits ||
                     pin.find_first_not_of("0123456789") != std::string::npos))
        return usageError(cmd, pinSource + ": '" + pin + "' is not 1 to " + std::to_string(remoteCodeMaxDigits) +
                                   " digits");
    LineChoice line;
    if (!lineChoiceFrom(valueOr(a, "--line", "sim"), &line, &error))
        return usageError(cmd, error);
    if (has(a, "--caller") && line.kind != LineChoice::Kind::Sim)
        return usageError(cmd, "--caller is what the stand-in caller says: it needs --line sim");
    Common c;
    if (!commonFrom(cmd, a, &c, &status))
        return status;

    Mailbox mailbox(dir);
    if (!mailbox.open(&error))
        return failure(cmd, error);
    // The longest name the daemon is given inside the mailbox is a
    // temporary one: DIR/.tmp/PID-NANOSECONDS-COUNT.ul.
    if (shortPath(dir).size() + 48 >= pathFieldSize)
        return failure(cmd, "the mailbox's path " + dir + " is too long for the daemon (at most " +
                                std::to_string(pathFieldSize - 49) + " bytes)");
    std::string greeting = valueOr(a, "--greeting", dir + "/greeting.ul");
    if (has(a, "--greeting") && access(greeting.c_str(), R_OK) != 0)
        return failure(cmd, "can't read the greeting " + greeting + ": " + strerror(errno));
    if (shortPath(greeting).size() >= pathFieldSize)
        return failure(cmd, "the greeting's path " + greeting + " is too long for the daemon");
    bool ok = true;
    std::vector<uint8_t> callerVoice;
    if (line.kind == LineChoice::Kind::Sim) {
        callerVoice = microphoneFrom(valueOr(a, "--caller", ""), 53, 125, &error, &ok);
        if (!ok)
            return failure(cmd, error);
        if (!has(a, "--caller"))
            callerVoice.resize(3 * bytesPerSecond);
    }
    if (!checkOutputs(cmd, c, SoundUse::Call, {}, {}, &status))
        return status;

    CallSettings settings;
    settings.menu.pin = pin;
    settings.menu.maxMessageSeconds = static_cast<uint32_t>(maxMessage);
    settings.greetingPath = greeting;
    settings.caller = envOr("SIPLINE_CALLER", "unknown");
    settings.called = envOr("SIPLINE_CALLED", "unknown");
    settings.onMessage = valueOr(a, "--on-message", "");
    settings.daemonPath = shortPath;
    PromptCache prompts(dir + "/.prompts");

    installInterruptHandler();
    Transcript transcript;
    Session s(c.daemonDir, transcript);
    s.prepare(c.wrap);
    ControlBlock& cb = s.cb();
    writeWord(cb.answerMode, 1);

    SoundEndpoint sound;
    if (!sound.open(c.sound, SoundUse::Call, c.wrap, {}, true, &error))
        return failure(cmd, error);
    std::unique_ptr<FarEnd> caller;
    int lineFd = -1;
    std::atomic<size_t> said{0}; // written by the stand-in caller's thread
    if (line.kind == LineChoice::Kind::Sim) {
        // Says its words once, then keeps silent until it hangs up.
        caller = std::make_unique<FarEnd>([&](size_t n) {
            std::vector<uint8_t> out(n, 0xFF);
            for (auto& b : out) {
                size_t at = said.load();
                if (at < callerVoice.size()) {
                    b = callerVoice[at];
                    said = at + 1;
                }
            }
            return out;
        });
        caller->talk(false);
        lineFd = caller->daemonFd();
    } else if ((lineFd = openLineChoice(line, &error)) < 0) {
        return failure(cmd, error);
    }
    writeWord(cb.audioFd, static_cast<uint32_t>(sound.daemonFd()));

    if (!startTranscript(s, transcript, c, false, &status))
        return status;
    s.setPhase("serve");
    s.startWatching();
    if (!s.startVoicePhone(lineFd, sound.daemonFd(), c.chunk))
        return failure(cmd, "can't start voicephone-daemon");
    if (caller)
        caller->closeDaemonEnd();
    else
        close(lineFd);
    sound.closeDaemonEnd();
    if (!s.waitUntil([&] { return acquireWord(cb.phoneUp) == 1; }, std::chrono::milliseconds(10000))) {
        writeWord(cb.stopRequest, 1);
        std::optional<int> st = s.waitDaemon(std::chrono::milliseconds(5000));
        s.stopWatching();
        Verdict v = judgeRun(s.factsOfLast(st));
        return failure(cmd, "the call did not come up" + (v.ok ? "" : ": " + v.problem));
    }
    if (caller)
        caller->start();

    AnsweringCall call(cb, mailbox, prompts, settings, [&](const std::string& text) {
        s.action(text);
        s.tell(text);
    });
    size_t keysPassed = 0;
    auto passKeys = [&] {
        std::string keys = s.touchtonesHeard();
        for (; keysPassed < keys.size(); ++keysPassed)
            call.key(keys[keysPassed]);
    };
    call.begin();
    bool stopAsked = false;
    bool recordingSeen = false;
    bool hungUp = false; // the line ended the call, not we
    while (true) {
        passKeys();
        hungUp = hungUp || (readWord(cb.t2aRunning) == 0 && readWord(cb.stopRequest) == 0);
        if (!call.poll())
            break;
        showComplaints(s, cmd, c);
        if (interrupted && !stopAsked) {
            // Ends as a hang-up does: what the caller said so far is kept.
            stopAsked = true;
            s.action("hang up (interrupted)");
            writeWord(cb.stopRequest, 1);
        }
        if (caller) {
            if (!recordingSeen && readWord(cb.responseRecording) == 1) {
                recordingSeen = true;
                caller->talk(true);
            }
            if (recordingSeen && said >= callerVoice.size())
                caller->hangUp();
        }
        usleep(5000);
    }
    std::optional<int> st = s.waitDaemon(std::chrono::milliseconds(10000));
    if (caller)
        caller->stop();
    s.stopWatching();
    showComplaints(s, cmd, c);
    passKeys();
    for (const std::string& line : s.linesOf("voicephone-daemon", true))
        if (line.find("Error writing to response file") != std::string::npos)
            call.responseWriteFailed();
    Message kept;
    bool stored = call.finish(&kept);
    // Deleted messages are kept 7 days, and no one else is sure to come by
    // to end them: each call does.
    int purged = mailbox.purge(static_cast<int64_t>(time(nullptr)));
    if (purged > 0)
        s.action("purged " + std::to_string(purged) + " files: messages deleted more than 7 days ago, leftovers");
    sound.finish(&error);

    RunFacts facts = s.factsOfLast(st);
    facts.chunkSize = static_cast<uint32_t>(c.chunk);
    // The daemon sets errorFlag when the call ends while it records: how
    // most messages end, and no failure by itself.
    facts.cutOffByHangUp = hungUp || stopAsked;
    Verdict v = judgeRun(facts);
    std::string summary = stored ? "new message " + kept.stem + " (" + durationText(kept.meta.durationSamples) +
                                       ", " + kept.meta.endReason + ")"
                                 : std::string("no new message");
    if (!v.ok) {
        status = failure(cmd, v.problem + "; " + summary);
    } else if (call.messageLost()) {
        // The caller's words are gone, whatever became of the call; why
        // was told as it happened.
        status = failure(cmd, "the caller's message was lost; " + summary);
    } else {
        printf("%s%s\n", summary.c_str(), stopAsked ? ", call ended by a signal" : "");
    }
    finishTranscript(c, transcript, &status);
    return status;
}

} // namespace callctl
