#include "console_keys.h"

#include <gtest/gtest.h>
#include <memory>

namespace callctl {
namespace {

TEST(ConsoleKeys, EachConsoleKnowsItsOwnKeys)
{
    EXPECT_EQ(actionForKey('5', Console::Call, false), KeyAction::Dtmf);
    EXPECT_EQ(actionForKey('D', Console::Call, false), KeyAction::Dtmf);
    EXPECT_EQ(actionForKey('d', Console::Call, false), KeyAction::Unknown);
    EXPECT_EQ(actionForKey('t', Console::Call, false), KeyAction::Taping);
    EXPECT_EQ(actionForKey('k', Console::Call, true), KeyAction::FarEndKeys);
    EXPECT_EQ(actionForKey('k', Console::Call, false), KeyAction::Unknown);
    EXPECT_EQ(actionForKey('x', Console::Call, false), KeyAction::Unknown);
    for (Console c : {Console::Call, Console::Answer, Console::Play, Console::Record}) {
        EXPECT_EQ(actionForKey('q', c, false), KeyAction::Quit);
        EXPECT_EQ(actionForKey(4, c, false), KeyAction::Quit); // Ctrl-D
        EXPECT_EQ(actionForKey(-1, c, false), KeyAction::Quit);
        EXPECT_EQ(actionForKey('?', c, false), KeyAction::Help);
        EXPECT_EQ(actionForKey(0, c, false), KeyAction::None);
    }
    // The call's tape keys mean nothing while playing or recording.
    EXPECT_EQ(actionForKey('t', Console::Play, false), KeyAction::Unknown);
    EXPECT_EQ(actionForKey('5', Console::Answer, false), KeyAction::Unknown);
    EXPECT_NE(keyHelp(Console::Call, true).find("x far end hangs up"), std::string::npos);
    EXPECT_EQ(keyHelp(Console::Call, false).find("far end"), std::string::npos);
}

TEST(ConsoleKeys, ActionsWriteTheirRequestsAndNothingElse)
{
    auto cb = std::make_unique<ControlBlock>();
    EXPECT_EQ(applyAction(KeyAction::Dtmf, '7', *cb), "send DTMF '7'");
    EXPECT_EQ(readByte(cb->dtmfKey), '7');
    // A second key while the first is still going out is refused, not lost silently.
    EXPECT_EQ(applyAction(KeyAction::Dtmf, '8', *cb), "DTMF '8' not sent: the last key is still going out");
    EXPECT_EQ(readByte(cb->dtmfKey), '7');

    EXPECT_EQ(applyAction(KeyAction::Taping, 't', *cb), "taping on");
    EXPECT_EQ(readWord(cb->recordFlags), FlagStartRequest);
    writeWord(cb->recordFlags, FlagStarted | FlagActive); // the daemon took it
    EXPECT_EQ(applyAction(KeyAction::Back, 'b', *cb), "back 5 s (the tape moves once taping is off)");
    EXPECT_EQ(readWord(cb->skipBack), 5u);
    EXPECT_EQ(applyAction(KeyAction::Taping, 't', *cb), "taping off");
    EXPECT_EQ(readWord(cb->recordFlags), FlagStarted | FlagActive | FlagStopRequest);

    EXPECT_EQ(applyAction(KeyAction::Hold, 'h', *cb), "hold");
    EXPECT_EQ(readWord(cb->holdAudio), 1u);
    EXPECT_EQ(applyAction(KeyAction::Hold, 'h', *cb), "hold off");
    EXPECT_EQ(readWord(cb->holdAudio), 0u);
    EXPECT_EQ(applyAction(KeyAction::Rewind, 'r', *cb), "rewind");
    EXPECT_EQ(readWord(cb->rewindRequest), 1u);
    EXPECT_EQ(applyAction(KeyAction::ToEnd, 'e', *cb), "to the end");
    EXPECT_EQ(readWord(cb->endRequest), 1u);
    EXPECT_EQ(applyAction(KeyAction::Quit, 'q', *cb), "");
    EXPECT_EQ(readWord(cb->stopRequest), 0u);
}

} // namespace
} // namespace callctl
