#include "remote_menu.h"

#include "phrases.h"

namespace callctl {

namespace {

MenuAction action(MenuAction::Kind kind)
{
    MenuAction a;
    a.kind = kind;
    return a;
}

MenuAction onMessage(MenuAction::Kind kind, size_t message)
{
    MenuAction a = action(kind);
    a.message = message;
    return a;
}

PlayItem prompt(const std::string& text)
{
    PlayItem item;
    item.kind = PlayItem::Prompt;
    item.text = text;
    return item;
}

PlayItem item(PlayItem::Kind kind)
{
    PlayItem i;
    i.kind = kind;
    return i;
}

} // namespace

const char* recordingEndName(RecordingEnd end)
{
    switch (end) {
    case RecordingEnd::Limit:
        return "limit";
    case RecordingEnd::Silence:
        return "silence";
    case RecordingEnd::HangUp:
        return "hang-up";
    }
    return "?";
}

RemoteMenu::RemoteMenu(MenuSettings settings) : settings_(std::move(settings)) {}

bool RemoteMenu::remote() const
{
    switch (phase_) {
    case Phase::Announcing:
    case Phase::Listening:
    case Phase::AfterMessage:
    case Phase::Confirming:
    case Phase::Helping:
    case Phase::EndOfList:
        return true;
    default:
        return false;
    }
}

void RemoteMenu::interrupt(std::vector<MenuAction>* out, bool dropRecording)
{
    if (playing_)
        out->push_back(action(MenuAction::StopPlaying));
    playing_ = false;
    if (recording_ && dropRecording) {
        out->push_back(action(MenuAction::DropRecording));
        recording_ = false;
    }
    if (timerArmed_)
        out->push_back(action(MenuAction::DisarmTimer));
    timerArmed_ = false;
}

void RemoteMenu::play(std::vector<MenuAction>* out, std::vector<PlayItem> items, Phase next)
{
    MenuAction a = action(MenuAction::Play);
    a.items = std::move(items);
    out->push_back(std::move(a));
    playing_ = true;
    phase_ = next;
}

void RemoteMenu::arm(std::vector<MenuAction>* out, int ms)
{
    MenuAction a = action(MenuAction::ArmTimer);
    a.timerMs = ms;
    out->push_back(a);
    timerArmed_ = true;
}

void RemoteMenu::close(std::vector<MenuAction>* out, const char* lastWords)
{
    play(out, {prompt(lastWords)}, Phase::Closing);
}

bool RemoteMenu::currentPresent() const { return current_ != none && !filed_[current_]; }

void RemoteMenu::playMessage(std::vector<MenuAction>* out, size_t index)
{
    current_ = index;
    PlayItem audio = item(PlayItem::Message);
    audio.message = index;
    play(out, {prompt(messageIntro(index + 1, mailbox_.fresh[index].received, mailbox_.now)), audio},
         Phase::Listening);
}

void RemoteMenu::advance(std::vector<MenuAction>* out)
{
    size_t next = current_ == none ? 0 : current_ + 1;
    while (next < filed_.size() && filed_[next])
        ++next;
    if (next < mailbox_.fresh.size())
        playMessage(out, next);
    else
        play(out, {prompt(phrase::endOfMessages)}, Phase::EndOfList);
}

std::vector<MenuAction> RemoteMenu::start()
{
    std::vector<MenuAction> out;
    play(&out, {item(PlayItem::Greeting), item(PlayItem::Beep)}, Phase::Greeting);
    return out;
}

std::vector<MenuAction> RemoteMenu::playDone()
{
    std::vector<MenuAction> out;
    if (!playing_)
        return out; // nothing of ours was playing: a stale report
    playing_ = false;
    switch (phase_) {
    case Phase::Greeting: {
        MenuAction record = action(MenuAction::StartRecording);
        record.limitSamples = settings_.maxMessageSeconds * 8000;
        record.silenceSamples = settings_.silenceSeconds * 8000;
        out.push_back(record);
        recording_ = true;
        phase_ = Phase::Recording;
        break;
    }
    case Phase::PinRefused:
        arm(&out, settings_.pinRetryMs);
        break;
    case Phase::Announcing:
    case Phase::Confirming:
        advance(&out);
        break;
    case Phase::Listening:
        out.push_back(onMessage(MenuAction::MarkHeard, current_));
        phase_ = Phase::AfterMessage;
        arm(&out, settings_.afterMessageMs);
        break;
    case Phase::Helping:
        phase_ = Phase::AfterMessage;
        arm(&out, settings_.afterMessageMs);
        break;
    case Phase::EndOfList:
        arm(&out, settings_.idleMs);
        break;
    case Phase::Closing:
        out.push_back(action(MenuAction::EndCall));
        phase_ = Phase::Ended;
        break;
    default:
        break;
    }
    return out;
}

std::vector<MenuAction> RemoteMenu::timer()
{
    std::vector<MenuAction> out;
    if (!timerArmed_)
        return out;
    timerArmed_ = false;
    switch (phase_) {
    case Phase::AfterMessage:
        advance(&out);
        break;
    case Phase::PinRefused:
    case Phase::EndOfList:
        close(&out, phrase::goodbye);
        break;
    default:
        break;
    }
    return out;
}

std::vector<MenuAction> RemoteMenu::recordingLimit()
{
    std::vector<MenuAction> out;
    if (phase_ != Phase::Recording || !recording_)
        return out;
    MenuAction keep = action(MenuAction::KeepRecording);
    keep.reason = RecordingEnd::Limit;
    out.push_back(keep);
    recording_ = false;
    close(&out, phrase::thanks);
    return out;
}

std::vector<MenuAction> RemoteMenu::silence()
{
    std::vector<MenuAction> out;
    if (phase_ != Phase::Recording || !recording_)
        return out;
    MenuAction keep = action(MenuAction::KeepRecording);
    keep.reason = RecordingEnd::Silence;
    out.push_back(keep);
    recording_ = false;
    close(&out, phrase::thanks);
    return out;
}

std::vector<MenuAction> RemoteMenu::hangUp()
{
    std::vector<MenuAction> out;
    if (phase_ == Phase::Ended)
        return out;
    if (recording_) {
        MenuAction keep = action(MenuAction::KeepRecording);
        keep.reason = RecordingEnd::HangUp;
        out.push_back(keep);
        recording_ = false;
    }
    interrupt(&out, false);
    out.push_back(action(MenuAction::EndCall));
    phase_ = Phase::Ended;
    return out;
}

std::vector<MenuAction> RemoteMenu::remoteCode(const std::string& digits, const MailboxView& mailbox)
{
    std::vector<MenuAction> out;
    bool accepting = phase_ == Phase::Greeting || phase_ == Phase::Recording || phase_ == Phase::PinRefused;
    if (settings_.pin.empty() || !accepting)
        return out; // remote control is off, or already on, or the call is ending
    interrupt(&out, true);
    if (digits != settings_.pin) {
        ++wrongCodes_;
        if (wrongCodes_ >= settings_.pinTries)
            close(&out, phrase::wrongCodeLast);
        else
            play(&out, {prompt(phrase::wrongCode)}, Phase::PinRefused);
        return out;
    }
    mailbox_ = mailbox;
    filed_.assign(mailbox_.fresh.size(), false);
    current_ = none;
    play(&out, {prompt(countPhrase(mailbox_.fresh.size(), mailbox_.savedCount))}, Phase::Announcing);
    return out;
}

std::vector<MenuAction> RemoteMenu::key(char key)
{
    std::vector<MenuAction> out;
    if (!remote())
        return out; // a caller's keys are only noted with the message
    switch (key) {
    case '1':
        interrupt(&out, false);
        advance(&out);
        break;
    case '2':
        interrupt(&out, false);
        if (currentPresent())
            playMessage(&out, current_);
        else if (current_ == none)
            play(&out, {prompt(countPhrase(mailbox_.fresh.size(), mailbox_.savedCount))}, Phase::Announcing);
        else
            play(&out, {prompt(phrase::noMessage)}, Phase::Confirming);
        break;
    case '3':
    case '4':
        interrupt(&out, false);
        if (currentPresent()) {
            out.push_back(onMessage(key == '3' ? MenuAction::DeleteMessage : MenuAction::SaveMessage, current_));
            filed_[current_] = true;
            play(&out, {prompt(key == '3' ? phrase::deleted : phrase::saved)}, Phase::Confirming);
        } else {
            play(&out, {prompt(phrase::noMessage)}, Phase::Confirming);
        }
        break;
    case '0':
        interrupt(&out, false);
        play(&out, {prompt(phrase::help)}, Phase::Helping);
        break;
    case '#':
        interrupt(&out, false);
        close(&out, phrase::goodbye);
        break;
    default:
        break; // '*' begins a code in the daemon; other keys mean nothing here
    }
    return out;
}

} // namespace callctl
