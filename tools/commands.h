// The callctl commands.  Each takes the words after its name and returns
// the exit status: 0 done, 1 failed, 2 usage error.
#pragma once

#include <string>
#include <vector>

namespace callctl {

using Args = std::vector<std::string>;

int demoCommand(const Args& args);
int callCommand(const Args& args);
int answerCommand(const Args& args);
int playCommand(const Args& args);
int recordCommand(const Args& args);
int tapeCommand(const Args& args);
int showCommand(const Args& args);
int stopCommand(const Args& args);
int serveCommand(const Args& args);
int messagesCommand(const Args& args);

// "callctl CMD: MESSAGE" and a pointer to --help on standard error; returns 2.
int usageError(const std::string& command, const std::string& message);
// "callctl CMD: MESSAGE" on standard error; returns 1.
int failure(const std::string& command, const std::string& message);
// The usage text on standard output; returns 0.
int printUsage(const char* text);

} // namespace callctl
