// callctl: drives the three daemons the way the controlling application
// does, for people: a demo, calls, playback, recording, tape files and a
// look at a live record.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command_line.h"
#include "commands.h"

namespace callctl {

namespace {

const char* mainUsage =
    "usage: callctl COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  demo     run a taped call, playback, a recording and an answering-machine\n"
    "           call on stand-ins and write the files to look at and listen to\n"
    "  call     be the controlling application for a call, with a console\n"
    "  answer   answer a call: play a greeting, record the caller\n"
    "  play     play a tape to a sound device\n"
    "  record   record from a sound device into a tape file\n"
    "  tape     export tape files to WAV, import WAV into tape files\n"
    "  show     decode the control block of a running application\n"
    "  stop     end the daemons of a run whose callctl is gone\n"
    "  serve    answer one call as an answering machine with a mailbox\n"
    "  messages list, play and manage the mailbox's messages and greeting\n"
    "\n"
    "'callctl help COMMAND' or 'callctl COMMAND --help' tells more;\n"
    "'callctl --version' the version.  Exit status: 0 done, 1 failed,\n"
    "2 usage error.\n";

const char* versionText = "callctl 1.1\n";

} // namespace

int usageError(const std::string& command, const std::string& message)
{
    std::string name = command.empty() ? "callctl" : "callctl " + command;
    fprintf(stderr, "%s: %s\nTry '%s --help'.\n", name.c_str(), message.c_str(), name.c_str());
    return exitUsage;
}

int failure(const std::string& command, const std::string& message)
{
    fprintf(stderr, "callctl %s: %s\n", command.c_str(), message.c_str());
    return exitFailure;
}

int printUsage(const char* text)
{
    fputs(text, stdout);
    return exitOk;
}

} // namespace callctl

int main(int argc, char** argv)
{
    using namespace callctl;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // A file grown past the size limit is a failed write, told by whoever
    // wrote it, as the daemons take it (they ignore it too, and inherit it).
    signal(SIGXFSZ, SIG_IGN);
    if (argc < 2)
        return usageError("", "no command given");
    std::string command = argv[1];
    Args args(argv + 2, argv + argc);
    if (command == "--version")
        return printUsage(versionText);
    if (command == "help" && argc == 3) {
        // "callctl help play" is "callctl play --help".
        command = argv[2];
        args = {"--help"};
    } else if (command == "--help" || command == "-h" || command == "help") {
        return printUsage(mainUsage);
    }
    struct Entry {
        const char* name;
        int (*run)(const Args&);
    };
    static const Entry commands[] = {
        {"demo", demoCommand},     {"call", callCommand}, {"answer", answerCommand}, {"play", playCommand},
        {"record", recordCommand}, {"tape", tapeCommand}, {"show", showCommand}, {"stop", stopCommand},
        {"serve", serveCommand},   {"messages", messagesCommand},
    };
    for (const auto& c : commands)
        if (command == c.name)
            return c.run(args);
    return usageError("", "unknown command '" + command + "'");
}
