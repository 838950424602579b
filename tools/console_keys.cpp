#include "console_keys.h"

#include <cctype>

namespace callctl {

KeyAction actionForKey(int key, Console console, bool standInLine)
{
    if (key == 0)
        return KeyAction::None;
    if (key == -1 || key == 'q' || key == 4)
        return KeyAction::Quit;
    if (key == '?')
        return KeyAction::Help;
    if (key == '\n' || key == '\r' || key == ' ')
        return KeyAction::None;
    if (console != Console::Call)
        return key == '.' ? KeyAction::Pause : KeyAction::Unknown;
    // Upper-case A-D are tones; the lower-case letters are commands.
    if ((key >= '0' && key <= '9') || key == '*' || key == '#' || (key >= 'A' && key <= 'D'))
        return KeyAction::Dtmf;
    switch (key) {
    case 't':
        return KeyAction::Taping;
    case 'b':
        return KeyAction::Back;
    case 'f':
        return KeyAction::Forward;
    case 'r':
        return KeyAction::Rewind;
    case 'e':
        return KeyAction::ToEnd;
    case 'h':
        return KeyAction::Hold;
    case '.':
        return KeyAction::Pause;
    case 'k':
        return standInLine ? KeyAction::FarEndKeys : KeyAction::Unknown;
    case 'x':
        return standInLine ? KeyAction::FarEndHangsUp : KeyAction::Unknown;
    default:
        return KeyAction::Unknown;
    }
}

std::string keyHelp(Console console, bool standInLine)
{
    switch (console) {
    case Console::Call:
        return std::string("keys: 0-9*#A-D dtmf, t taping, b/f back/forward, r/e rewind/end, h hold, q hang up") +
               (standInLine ? ", k far end keys code, x far end hangs up" : "");
    case Console::Answer:
        return "keys: q hang up (also Ctrl-C)";
    case Console::Play:
    case Console::Record:
        return "keys: q stop (also Ctrl-C)";
    }
    return "";
}

std::string applyAction(KeyAction action, char key, ControlBlock& cb)
{
    switch (action) {
    case KeyAction::Dtmf:
        // The daemon clears the key once the tone is out.
        if (readWord(cb.dtmfPending) || readByte(cb.dtmfKey))
            return std::string("DTMF '") + key + "' not sent: the last key is still going out";
        writeByte(cb.dtmfKey, static_cast<uint8_t>(key));
        return std::string("send DTMF '") + key + "'";
    case KeyAction::Taping:
        if (flagSet(cb.recordFlags, FlagActive)) {
            cb.recordFlags.fetch_or(FlagStopRequest);
            return "taping off";
        }
        writeWord(cb.recordFlags, FlagStartRequest);
        return "taping on";
    case KeyAction::Back:
    case KeyAction::Forward: {
        std::string said = action == KeyAction::Back ? "back 5 s" : "forward 5 s";
        if (flagSet(cb.recordFlags, FlagActive))
            said += " (the tape moves once taping is off)";
        writeWord(action == KeyAction::Back ? cb.skipBack : cb.skipForward, 5);
        return said;
    }
    case KeyAction::Rewind:
        writeWord(cb.rewindRequest, 1);
        return "rewind";
    case KeyAction::ToEnd:
        writeWord(cb.endRequest, 1);
        return "to the end";
    case KeyAction::Hold: {
        bool hold = readWord(cb.holdAudio) == 0;
        writeWord(cb.holdAudio, hold ? 1 : 0);
        return hold ? "hold" : "hold off";
    }
    default:
        return "";
    }
}

} // namespace callctl
