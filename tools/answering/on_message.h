// The owner's command run after each new message (--on-message CMD), for
// example to mail it: `/bin/sh -c CMD` with the message in its environment.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "mailbox.h"

namespace callctl {

struct HookResult {
    bool ran = false;      // the shell was started
    int exitStatus = -1;   // its exit status, or -1 when it did not exit
    int signal = 0;        // the signal that ended it, if one did
    bool timedOut = false; // it ran past the time limit and was killed
    int startError = 0;    // errno when it could not be started
    bool ok() const { return ran && exitStatus == 0; }
};

// Runs `/bin/sh -c command` with `environment` ("NAME=value" entries) added
// to ours, standard input from /dev/null and no other descriptor of ours
// open (a line socket left open in it would keep the call up), and waits for
// it, at most `limitMs`, after which its process group is killed.
HookResult runHook(const std::string& command, const std::vector<std::string>& environment, int limitMs);

// The message hook: MESSAGE_FILE, MESSAGE_JSON and MESSAGE_WAV set to the
// paths given.  A failure is told through `log` (one line) and is never an
// error of the call: the message is stored whatever the command does.
HookResult runOnMessage(const std::string& command, const std::string& audioPath, const std::string& metaPath,
                        const std::string& wavPath, int limitMs, const std::function<void(const std::string&)>& log);

// After a new message: its WAV made beside it, then the command.  A WAV
// that can't be made is logged and MESSAGE_WAV left empty; the command
// still runs.
HookResult announceNewMessage(const Mailbox& mailbox, const Message& message, const std::string& command,
                              int limitMs, const std::function<void(const std::string&)>& log);

std::string describeHookResult(const HookResult& result); // "exit status 3", "killed by signal 9", ...

} // namespace callctl
