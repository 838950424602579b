// The SIP user agent: one libre event loop, one SIP socket, one 20 ms tick
// for every line, and the calls on the lines.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "options.h"

namespace sipline {

// One line: how its calls reach the application.
struct LineConfig {
    std::string name;
    std::string user;  // routes incoming calls by Request-URI user; empty takes any
    std::string link;  // a pty published here, or
    std::string exec;  // a command run per call
    bool pty = false;  // with exec: the command gets a pty, not a socket
};

// Reads a serve configuration: one row per line, "NAME USER link PATH",
// "NAME USER exec CMD..." or "NAME USER exec-pty CMD..."; '#' comments.
// Rows that begin with "--" are command-line options (configOptions).
bool parseLineConfig(const std::string& text, std::vector<LineConfig>& out, std::string& error);
// The options rows of a configuration, as arguments: "--sip 0.0.0.0:5060"
// gives "--sip" and "0.0.0.0:5060"; the rest of a row is one value.
std::vector<std::string> configOptions(const std::string& text);

// Runs until the work the options ask for is done; returns the exit status.
int runAgent(const Options& options, const std::vector<LineConfig>& lines);

} // namespace sipline
