// callctl on a terminal: the console fits its width and shows what a
// person acts on; -q, --version, help COMMAND and a transcript written as
// it goes.
#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "callctl_kit.h"

namespace {

using namespace callctl_kit;
using CallctlConsole = ScratchTest;

// A key typed once the terminal shows `awaited`, a regular expression
// (after what the last key awaited), so a busy machine slows the session
// down instead of losing keys.
struct Keystroke {
    std::string awaited;
    char key;
};

// On a loaded machine a step takes seconds; on an idle one, well under one.
constexpr auto stepDeadline = 30s;

// Runs callctl on a pseudo-terminal `columns` wide and types `keys`; returns
// all it wrote to the terminal once callctl has ended.
std::string onTerminal(const std::vector<std::string>& args, int columns, const std::vector<Keystroke>& keys,
                       const std::string& dir, int* status)
{
    std::string program = sim::programPath("callctl");
    std::vector<std::string> texts{program};
    texts.insert(texts.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& t : texts)
        argv.push_back(t.data());
    argv.push_back(nullptr);
    winsize size{24, static_cast<unsigned short>(columns), 0, 0};
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    std::string seen;
    char buffer[4096];
    bool open = true;
    // Reads until `done` holds; false when it did not in time.
    auto readUntil = [&](const std::function<bool()>& done, std::chrono::seconds timeout) {
        auto until = std::chrono::steady_clock::now() + timeout;
        while (open && !done()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            pollfd p{master, POLLIN, 0};
            if (left.count() <= 0)
                return false;
            if (poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 100))) <= 0)
                continue;
            ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0)
                open = false; // the terminal is closed: callctl ended
            else
                seen.append(buffer, static_cast<size_t>(n));
        }
        return done();
    };
    size_t from = 0;
    for (const Keystroke& k : keys) {
        std::regex awaited(k.awaited);
        std::smatch found;
        auto shown = [&] { return std::regex_search(seen.cbegin() + static_cast<std::ptrdiff_t>(from), seen.cend(), found, awaited); };
        if (!readUntil(shown, stepDeadline)) {
            ADD_FAILURE() << "waited " << stepDeadline.count() << " s for \"" << k.awaited
                          << "\" on the terminal before typing '" << k.key << "'\n"
                          << seen;
            break;
        }
        from += static_cast<size_t>(found.position(0) + found.length(0));
        if (write(master, &k.key, 1) != 1)
            break;
    }
    if (!readUntil([&] { return !open; }, stepDeadline)) {
        ADD_FAILURE() << "waited " << stepDeadline.count() << " s for callctl to end\n" << seen;
        kill(pid, SIGKILL);
    }
    waitpid(pid, status, 0);
    close(master);
    return seen;
}

// The longest run of characters between two line starts (\r or \n), with
// escape sequences and UTF-8 continuation bytes not counted.
size_t widestLine(const std::string& text)
{
    size_t widest = 0, now = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r' || c == '\n') {
            now = 0;
        } else if (c == 0x1b) {
            while (i + 1 < text.size() && !isalpha(static_cast<unsigned char>(text[i + 1])))
                ++i;
            ++i;
        } else if ((c & 0xC0) != 0x80) {
            widest = std::max(widest, ++now);
        }
    }
    return widest;
}

// What stays on the screen: each line that scrolled, as it was last drawn
// before its newline.
std::string scrolled(const std::string& text)
{
    std::string out;
    size_t at = 0;
    for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back(); // the terminal's own end of line
        size_t cr = line.rfind('\r');
        out += (cr == std::string::npos ? line : line.substr(cr + 1)) + "\n";
    }
    return out;
}

TEST_F(CallctlConsole, ACallOnAnEightyColumnTerminalNeverWrapsAndShowsWhatMatters)
{
    int status = 0;
    // Taping on, a DTMF key, a second of tape or more (a stalled tape may
    // catch up by two at once), taping off, hang up.
    std::string seen = onTerminal({"call"}, 80,
                                  {{"keys: ", 't'}, {"REC", '5'}, {"tape 00:(0[1-9]|[1-5][0-9])/", 't'}, {"taping off", 'q'}},
                                  dir_, &status);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
    EXPECT_LE(widestLine(seen), 79u) << seen;
    // Redrawn ten times a second for over a second, yet only a few lines
    // scroll: the ones a person acts on and the summary.
    size_t lines = static_cast<size_t>(std::count(seen.begin(), seen.end(), '\n'));
    EXPECT_LE(lines, 14u) << seen;
    std::string kept = scrolled(seen);
    EXPECT_NE(kept.find("segment "), std::string::npos) << kept;
    EXPECT_NE(kept.find("taping on"), std::string::npos) << kept;
    EXPECT_NE(kept.find("send DTMF '5'"), std::string::npos) << kept;
    EXPECT_EQ(kept.find("start voicephone-daemon"), std::string::npos) << kept;
    EXPECT_EQ(kept.find("control block      "), std::string::npos) << "field changes are for --verbose\n" << kept;
}

TEST_F(CallctlConsole, KeysAreExplainedAndQEndsPlay)
{
    std::vector<uint8_t> tape(8000 * 20, 0xff);
    kit::writeFile(path("t-out.ul"), tape);
    int status = 0;
    std::string seen = onTerminal({"play", "--tape", path("t"), "--outgoing-only"}, 80,
                                  {{"play 00:", '?'}, {"keys: q stop", 'z'}, {"does nothing here", 'q'}}, dir_, &status);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
    EXPECT_NE(seen.find("keys: q stop"), std::string::npos) << seen;
    EXPECT_NE(seen.find("key 'z' does nothing here; ? shows the keys"), std::string::npos) << seen;
    EXPECT_NE(seen.find("stopped at 00:0"), std::string::npos) << "q should stop well before 20 s\n" << seen;
    EXPECT_LE(widestLine(seen), 79u) << seen;
}

TEST_F(CallctlConsole, QuietVersionHelpAndALiveTranscript)
{
    std::string program = sim::programPath("callctl");
    Outcome r = shell("cd '" + dir_ + "' && printf '..' | '" + program + "' call -q", 60000ms);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("tape ", 0), 0u) << r.out;

    r = callctl({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("callctl ", 0), 0u);
    Outcome viaHelp = callctl({"help", "answer"}), viaOption = callctl({"answer", "--help"});
    EXPECT_EQ(viaHelp.status, 0);
    EXPECT_EQ(viaHelp.out, viaOption.out);
    EXPECT_EQ(callctl({"call", "-q", "--verbose"}).status, 2);

    // The transcript is on disk while the run goes on; Ctrl-C, a stop and
    // a terminal that hangs up all end the run in order, the take kept.
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        std::string take = path("t" + std::to_string(signal) + ".ul");
        std::string transcript = path("run" + std::to_string(signal) + ".txt");
        sim::DaemonProcess p;
        ASSERT_TRUE(p.start(program, {program, "record", "--take", take, "--seconds", "600", "--transcript", transcript},
                            {}));
        auto deadline = std::chrono::steady_clock::now() + 60s;
        bool written = false;
        while (!written && std::chrono::steady_clock::now() < deadline) {
            std::vector<uint8_t> text = kit::readFile(transcript);
            written = std::string(text.begin(), text.end()).find("PID (audio ") != std::string::npos;
            if (!written)
                std::this_thread::sleep_for(20ms);
        }
        EXPECT_TRUE(written) << "waited 60 s for the record daemon's start (\"PID (audio \") in the transcript while it runs";
        ::kill(p.pid(), signal);
        EXPECT_EQ(p.wait(60000ms), 0) << "callctl record ending on the signal within 60 s\n" << p.errors();
        EXPECT_EQ(p.output().rfind("recorded " + take, 0), 0u) << p.output();
    }
}

} // namespace
