// The console's keys: which key does what in which command, and what an
// action writes to the control block.  No terminal and no threads here, so
// every key can be checked on a plain control block.
#pragma once

#include <string>

#include "control_block.h"

namespace callctl {

enum class Console { Call, Answer, Play, Record };

enum class KeyAction {
    None,          // no key (a time-out)
    Dtmf,          // 0-9 * # A-D: send that tone down the line
    Taping,        // taping on / off
    Back,          // tape back 5 s
    Forward,       // tape forward 5 s
    Rewind,
    ToEnd,
    Hold,          // hold on / off
    FarEndKeys,    // the stand-in far end keys the remote code
    FarEndHangsUp, // the stand-in far end hangs up
    Pause,         // '.' from a pipe: wait 0.2 s
    Help,          // '?'
    Quit,          // q, Ctrl-D, or the end of piped keys
    Unknown,
};

// `key` as readKey gives it: 0 nothing, -1 the end of input.  The far-end
// keys exist only with the stand-in line.
KeyAction actionForKey(int key, Console console, bool standInLine);

// The keys of a console, as one line for the screen.
std::string keyHelp(Console console, bool standInLine);

// Writes the request the action stands for into the block; returns what was
// done, for the transcript ("send DTMF '5'", "taping on"), or a refusal
// ("DTMF '7' not sent: ...").  Actions that write nothing return "".
std::string applyAction(KeyAction action, char key, ControlBlock& cb);

} // namespace callctl
