#include "remote_menu.h"

#include <gtest/gtest.h>
#include <random>

#include "phrases.h"

namespace callctl {
namespace {

using Actions = std::vector<MenuAction>;
using Kind = MenuAction::Kind;
using Phase = RemoteMenu::Phase;

MenuAction act(Kind kind) { MenuAction a; a.kind = kind; return a; }
MenuAction onMessage(Kind kind, size_t n) { MenuAction a = act(kind); a.message = n; return a; }
MenuAction keep(RecordingEnd why) { MenuAction a = act(Kind::KeepRecording); a.reason = why; return a; }
MenuAction record(uint32_t seconds = 120, uint32_t silence = 8)
{
    MenuAction a = act(Kind::StartRecording);
    a.limitSamples = seconds * 8000;
    a.silenceSamples = silence * 8000;
    return a;
}
MenuAction arm(int ms) { MenuAction a = act(Kind::ArmTimer); a.timerMs = ms; return a; }
PlayItem say(const std::string& text) { PlayItem i; i.kind = PlayItem::Prompt; i.text = text; return i; }
PlayItem audio(size_t n) { PlayItem i; i.kind = PlayItem::Message; i.message = n; return i; }
PlayItem of(PlayItem::Kind kind) { PlayItem i; i.kind = kind; return i; }
MenuAction play(std::vector<PlayItem> items) { MenuAction a = act(Kind::Play); a.items = std::move(items); return a; }
MenuAction play(const std::string& text) { return play(std::vector<PlayItem>{say(text)}); }

std::tm at(int day, int hour, int minute)
{
    std::tm t{};
    t.tm_year = 126;
    t.tm_mon = 11;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    time_t s = timegm(&t);
    gmtime_r(&s, &t);
    return t;
}

// Two new messages (Dec 8 23:10 and Dec 9 1:02) and one saved, heard on
// Dec 9 at 10:00.
MailboxView twoNewOneSaved()
{
    MailboxView v;
    v.fresh = {{at(8, 23, 10)}, {at(9, 1, 2)}};
    v.savedCount = 1;
    v.now = at(9, 10, 0);
    return v;
}
const std::string intro1 = "Message 1, received yesterday at 11:10 PM.";
const std::string intro2 = "Message 2, received today at 1:02 AM.";

MenuSettings withPin(const std::string& pin = "2468")
{
    MenuSettings s;
    s.pin = pin;
    return s;
}

// A menu in the remote phase, the count already announced.
RemoteMenu loggedIn(const MailboxView& view = twoNewOneSaved())
{
    RemoteMenu m(withPin());
    m.start();
    m.playDone();
    m.remoteCode("2468", view);
    m.playDone(); // the count has been said: message 1 plays
    return m;
}

TEST(RemoteMenu, ACallerLeavesAMessageAndHangsUp)
{
    RemoteMenu m(withPin());
    EXPECT_EQ(m.start(), Actions{play({of(PlayItem::Greeting), of(PlayItem::Beep)})});
    EXPECT_EQ(m.key('5'), Actions{}) << "keys during the greeting are only noted";
    EXPECT_EQ(m.playDone(), Actions{record()}) << "120 s at most, 8 s of silence end it";
    EXPECT_EQ(m.phase(), Phase::Recording);
    EXPECT_EQ(m.key('1'), Actions{});
    EXPECT_EQ(m.timer(), Actions{}) << "no timer was armed";
    EXPECT_EQ(m.playDone(), Actions{}) << "nothing was playing";
    EXPECT_EQ(m.hangUp(), (Actions{keep(RecordingEnd::HangUp), act(Kind::EndCall)}));
    EXPECT_EQ(m.phase(), Phase::Ended);
    EXPECT_EQ(m.hangUp(), Actions{});
    EXPECT_EQ(m.remoteCode("2468", twoNewOneSaved()), Actions{});
    EXPECT_EQ(m.silence(), Actions{});
}

TEST(RemoteMenu, TheLimitOrSilenceKeepsTheMessageThenThanksAndHangsUp)
{
    for (bool limit : {true, false}) {
        RemoteMenu m(MenuSettings{});
        m.start();
        m.playDone();
        Actions ended = limit ? m.recordingLimit() : m.silence();
        EXPECT_EQ(ended, (Actions{keep(limit ? RecordingEnd::Limit : RecordingEnd::Silence), play(phrase::thanks)}));
        EXPECT_EQ(m.silence(), Actions{}) << "the message is kept once";
        EXPECT_EQ(m.remoteCode("2468", {}), Actions{});
        EXPECT_EQ(m.playDone(), Actions{act(Kind::EndCall)});
    }
}

TEST(RemoteMenu, TheMessageLimitIsTheOwners)
{
    MenuSettings s;
    s.maxMessageSeconds = 30;
    RemoteMenu m(s);
    m.start();
    EXPECT_EQ(m.playDone(), Actions{record(30)});
}

TEST(RemoteMenu, AHangUpDuringTheGreetingKeepsNothing)
{
    RemoteMenu m(withPin());
    m.start();
    EXPECT_EQ(m.hangUp(), (Actions{act(Kind::StopPlaying), act(Kind::EndCall)}));
}

TEST(RemoteMenu, WithoutAPinACodeIsJustKeys)
{
    RemoteMenu m(MenuSettings{});
    m.start();
    EXPECT_EQ(m.remoteCode("2468", twoNewOneSaved()), Actions{}) << "the greeting plays on";
    m.playDone();
    EXPECT_EQ(m.remoteCode("", twoNewOneSaved()), Actions{}) << "an empty code never matches a missing PIN";
    EXPECT_EQ(m.remoteCode("2468", twoNewOneSaved()), Actions{});
    EXPECT_EQ(m.phase(), Phase::Recording);
    EXPECT_EQ(m.key('3'), Actions{});
    EXPECT_EQ(m.hangUp().front(), keep(RecordingEnd::HangUp));
}

TEST(RemoteMenu, TheRightCodeDropsWhatWasRecordedAndSaysTheCount)
{
    RemoteMenu during(withPin());
    during.start();
    EXPECT_EQ(during.remoteCode("2468", twoNewOneSaved()),
              (Actions{act(Kind::StopPlaying), play("You have 2 new messages and 1 saved message.")}))
        << "keyed during the greeting";

    RemoteMenu after(withPin());
    after.start();
    after.playDone();
    EXPECT_EQ(after.remoteCode("2468", twoNewOneSaved()),
              (Actions{act(Kind::DropRecording), play("You have 2 new messages and 1 saved message.")}))
        << "keyed while recording";
    EXPECT_EQ(after.phase(), Phase::Announcing);
    EXPECT_EQ(after.remoteCode("2468", twoNewOneSaved()), Actions{}) << "already in";
    EXPECT_EQ(after.hangUp(), (Actions{act(Kind::StopPlaying), act(Kind::EndCall)})) << "nothing is kept";
}

TEST(RemoteMenu, ThreeWrongCodesEndTheCallAndChangeNothing)
{
    RemoteMenu m(withPin());
    m.start();
    m.playDone();
    EXPECT_EQ(m.remoteCode("1111", twoNewOneSaved()), (Actions{act(Kind::DropRecording), play(phrase::wrongCode)}));
    EXPECT_EQ(m.playDone(), Actions{arm(20000)});
    EXPECT_EQ(m.key('1'), Actions{}) << "no menu before the right code";
    EXPECT_EQ(m.remoteCode("24680", twoNewOneSaved()), (Actions{act(Kind::DisarmTimer), play(phrase::wrongCode)}));
    EXPECT_EQ(m.remoteCode("2", twoNewOneSaved()), (Actions{act(Kind::StopPlaying), play(phrase::wrongCodeLast)}))
        << "keyed over the refusal";
    EXPECT_EQ(m.wrongCodes(), 3);
    EXPECT_EQ(m.remoteCode("2468", twoNewOneSaved()), Actions{}) << "too late for the right one";
    EXPECT_EQ(m.playDone(), Actions{act(Kind::EndCall)});
}

TEST(RemoteMenu, TheRightCodeAfterAWrongOneAndSilenceAfterAWrongOne)
{
    RemoteMenu m(withPin());
    m.start();
    m.remoteCode("1", twoNewOneSaved());
    m.playDone();
    EXPECT_EQ(m.remoteCode("2468", twoNewOneSaved()),
              (Actions{act(Kind::DisarmTimer), play("You have 2 new messages and 1 saved message.")}));

    RemoteMenu quiet(withPin());
    quiet.start();
    quiet.remoteCode("1", twoNewOneSaved());
    quiet.playDone();
    EXPECT_EQ(quiet.timer(), Actions{play(phrase::goodbye)});
    EXPECT_EQ(quiet.playDone(), Actions{act(Kind::EndCall)});
}

TEST(RemoteMenu, EachNewMessageOldestFirstThenTheEnd)
{
    RemoteMenu m(withPin());
    m.start();
    m.remoteCode("2468", twoNewOneSaved());
    EXPECT_EQ(m.playDone(), Actions{play({say(intro1), audio(0)})});
    EXPECT_EQ(m.playDone(), (Actions{onMessage(Kind::MarkHeard, 0), arm(4000)}));
    EXPECT_EQ(m.timer(), Actions{play({say(intro2), audio(1)})});
    EXPECT_EQ(m.playDone(), (Actions{onMessage(Kind::MarkHeard, 1), arm(4000)}));
    EXPECT_EQ(m.timer(), Actions{play(phrase::endOfMessages)});
    EXPECT_EQ(m.playDone(), Actions{arm(30000)});
    EXPECT_EQ(m.timer(), Actions{play(phrase::goodbye)});
    EXPECT_EQ(m.playDone(), Actions{act(Kind::EndCall)});
}

TEST(RemoteMenu, NoNewMessagesGoesStraightToTheEnd)
{
    MailboxView empty;
    empty.savedCount = 3;
    RemoteMenu m(withPin());
    m.start();
    EXPECT_EQ(m.remoteCode("2468", empty).back(), play("You have no new messages and 3 saved messages."));
    EXPECT_EQ(m.playDone(), Actions{play(phrase::endOfMessages)});
    EXPECT_EQ(m.key('2'), (Actions{act(Kind::StopPlaying), play("You have no new messages and 3 saved messages.")}))
        << "with nothing heard yet, 2 says the count again";
    EXPECT_EQ(m.key('3'), (Actions{act(Kind::StopPlaying), play(phrase::noMessage)}));
}

TEST(RemoteMenu, KeysWhileAMessagePlays)
{
    RemoteMenu m = loggedIn();
    EXPECT_EQ(m.key('2'), (Actions{act(Kind::StopPlaying), play({say(intro1), audio(0)})})) << "again";
    EXPECT_EQ(m.key('1'), (Actions{act(Kind::StopPlaying), play({say(intro2), audio(1)})})) << "next";
    EXPECT_EQ(m.key('7'), Actions{}) << "a key without a meaning";
    EXPECT_EQ(m.key('*'), Actions{});
    EXPECT_EQ(m.key('3'),
              (Actions{act(Kind::StopPlaying), onMessage(Kind::DeleteMessage, 1), play(phrase::deleted)}));
    EXPECT_EQ(m.playDone(), Actions{play(phrase::endOfMessages)});
    EXPECT_EQ(m.key('3'), (Actions{act(Kind::StopPlaying), play(phrase::noMessage)})) << "deleted once";
    EXPECT_EQ(m.playDone(), Actions{play(phrase::endOfMessages)});
    EXPECT_EQ(m.key('2'), (Actions{act(Kind::StopPlaying), play(phrase::noMessage)})) << "a deleted message is gone";
    EXPECT_EQ(m.key('#'), (Actions{act(Kind::StopPlaying), play(phrase::goodbye)}));
    EXPECT_EQ(m.key('1'), Actions{}) << "no keys while saying goodbye";
    EXPECT_EQ(m.playDone(), Actions{act(Kind::EndCall)});
}

TEST(RemoteMenu, KeysRightAfterAMessageActOnIt)
{
    RemoteMenu m = loggedIn();
    m.playDone(); // message 1 heard to its end
    EXPECT_EQ(m.phase(), Phase::AfterMessage);
    EXPECT_EQ(m.key('4'), (Actions{act(Kind::DisarmTimer), onMessage(Kind::SaveMessage, 0), play(phrase::saved)}));
    EXPECT_EQ(m.timer(), Actions{}) << "the timer was disarmed";
    EXPECT_EQ(m.playDone(), Actions{play({say(intro2), audio(1)})});
    EXPECT_EQ(m.key('0'), (Actions{act(Kind::StopPlaying), play(phrase::help)}));
    EXPECT_EQ(m.playDone(), Actions{arm(4000)});
    EXPECT_EQ(m.key('3'),
              (Actions{act(Kind::DisarmTimer), onMessage(Kind::DeleteMessage, 1), play(phrase::deleted)}))
        << "the help leaves the message in hand";
    EXPECT_EQ(m.playDone(), Actions{play(phrase::endOfMessages)});
    EXPECT_EQ(m.key('1'), (Actions{act(Kind::StopPlaying), play(phrase::endOfMessages)}));
}

TEST(RemoteMenu, AFiledMessageIsNotOfferedAgainWhenGoingOn)
{
    MailboxView three = twoNewOneSaved();
    three.fresh.push_back({at(9, 9, 0)});
    const std::string intro3 = "Message 3, received today at 9 AM.";
    RemoteMenu m = loggedIn(three);
    m.key('1'); // message 2
    m.key('4'); // saved
    EXPECT_EQ(m.playDone(), Actions{play({say(intro3), audio(2)})});
    EXPECT_EQ(m.key('2'), (Actions{act(Kind::StopPlaying), play({say(intro3), audio(2)})}));
    EXPECT_EQ(m.key('1'), (Actions{act(Kind::StopPlaying), play(phrase::endOfMessages)}));
    EXPECT_EQ(m.key('2'), (Actions{act(Kind::StopPlaying), play({say(intro3), audio(2)})}))
        << "the last one heard, not the saved one";
}

TEST(RemoteMenu, AHangUpDuringRemoteControlEndsQuietly)
{
    RemoteMenu m = loggedIn();
    m.playDone();
    EXPECT_EQ(m.hangUp(), (Actions{act(Kind::DisarmTimer), act(Kind::EndCall)}));
}

// Random calls against the driver's side of the bargain: whatever comes in,
// what comes out can be carried out.
TEST(RemoteMenu, RandomCallsKeepTheContract)
{
    std::mt19937 random(20261209);
    const std::string keys = "0123456789*#";
    for (int call = 0; call < 3000; ++call) {
        RemoteMenu m(call % 4 == 0 ? MenuSettings{} : withPin());
        bool playing = false, recording = false, armed = false, ended = false, everRecorded = false;
        int kept = 0, dropped = 0, filed = 0;
        MailboxView view = twoNewOneSaved();
        auto check = [&](const Actions& out, const std::string& what) {
            for (const MenuAction& a : out) {
                ASSERT_FALSE(ended) << what << ": an action after EndCall";
                switch (a.kind) {
                case Kind::Play:
                    ASSERT_FALSE(playing) << what << ": Play over a playing list";
                    ASSERT_FALSE(recording) << what << ": Play while recording";
                    ASSERT_FALSE(a.items.empty());
                    for (const PlayItem& i : a.items) {
                        if (i.kind == PlayItem::Message) {
                            ASSERT_LT(i.message, view.fresh.size());
                        }
                    }
                    playing = true;
                    break;
                case Kind::StopPlaying:
                    ASSERT_TRUE(playing) << what;
                    playing = false;
                    break;
                case Kind::StartRecording:
                    ASSERT_FALSE(recording || playing || everRecorded) << what;
                    recording = everRecorded = true;
                    break;
                case Kind::KeepRecording:
                    ASSERT_TRUE(recording) << what;
                    recording = false;
                    ++kept;
                    break;
                case Kind::DropRecording:
                    ASSERT_TRUE(recording) << what;
                    recording = false;
                    ++dropped;
                    break;
                case Kind::DeleteMessage:
                case Kind::SaveMessage:
                    ASSERT_LT(a.message, view.fresh.size());
                    ++filed;
                    break;
                case Kind::MarkHeard:
                    ASSERT_LT(a.message, view.fresh.size());
                    break;
                case Kind::ArmTimer:
                    ASSERT_GT(a.timerMs, 0);
                    armed = true;
                    break;
                case Kind::DisarmTimer:
                    ASSERT_TRUE(armed) << what;
                    armed = false;
                    break;
                case Kind::EndCall:
                    ASSERT_FALSE(recording) << what << ": the recording left open";
                    ended = true;
                    break;
                }
            }
        };
        check(m.start(), "start");
        for (int step = 0; step < 60 && !ended && !HasFatalFailure(); ++step) {
            int choice = static_cast<int>(random() % 8);
            std::string what = "call " + std::to_string(call) + " step " + std::to_string(step);
            Actions out;
            switch (choice) {
            case 0:
            case 1:
                out = m.key(keys[random() % keys.size()]);
                break;
            case 2:
                out = m.remoteCode(random() % 2 ? "2468" : "1357", view);
                break;
            case 3:
            case 4:
                // The driver only reports the end of a list that plays.
                if (playing) {
                    playing = false;
                    out = m.playDone();
                }
                break;
            case 5:
                if (armed) {
                    armed = false;
                    out = m.timer();
                }
                break;
            case 6:
                if (recording)
                    out = random() % 2 ? m.silence() : m.recordingLimit();
                break;
            case 7:
                if (random() % 6 == 0)
                    out = m.hangUp();
                break;
            }
            check(out, what);
        }
        ASSERT_FALSE(HasFatalFailure());
        if (!ended)
            check(m.hangUp(), "final hang-up");
        EXPECT_TRUE(ended);
        EXPECT_LE(kept + dropped, 1) << "one recording a call, kept or dropped once";
        EXPECT_EQ(kept + dropped, everRecorded ? 1 : 0);
        if (kept == 1) {
            EXPECT_EQ(filed, 0) << "a caller who left a message never touched the mailbox";
        }
        EXPECT_LE(filed, 2) << "each message filed at most once";
    }
}

} // namespace
} // namespace callctl
