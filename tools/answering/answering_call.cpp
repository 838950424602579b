#include "answering_call.h"

#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "on_message.h"
#include "phrases.h"

namespace callctl {

namespace {

// How long the daemon may take to act on a stop; it acts at the next byte
// the line brings, and a live line brings 8000 a second.
constexpr auto stopGrace = std::chrono::seconds(3);
// How long a file taken by the daemon may go without playing before it is
// taken as one the daemon could not open.
constexpr auto openGrace = std::chrono::seconds(2);

} // namespace

AnsweringCall::AnsweringCall(ControlBlock& cb, Mailbox& mailbox, PromptCache& prompts, CallSettings settings, Log log)
    : cb_(cb), mailbox_(mailbox), prompts_(prompts), settings_(std::move(settings)), log_(std::move(log)),
      menu_(settings_.menu)
{
}

AnsweringCall::~AnsweringCall()
{
    if (responseFd_ >= 0)
        close(responseFd_);
    if (!pending_.audioPath.empty())
        mailbox_.abandonMessage(&pending_);
}

void AnsweringCall::begin() { take(menu_.start()); }

void AnsweringCall::key(char key)
{
    if (keysOpen_)
        touchtones_ += key;
    if (recording_)
        silence_.noteActivity();
    // The keys of a remote code are the daemon's to collect, as it collects
    // them ('*', digits, then '#' after a digit); they are no menu keys,
    // though their lines may come in after the code has let the owner in.
    if (key == '*') {
        inCode_ = true;
        codeDigits_ = 0;
        return;
    }
    if (inCode_ && key >= '0' && key <= '9') {
        ++codeDigits_;
        return;
    }
    if (inCode_ && key == '#') {
        inCode_ = codeDigits_ == 0;
        return;
    }
    if (!over_)
        take(menu_.key(key));
}

void AnsweringCall::followWith(std::vector<MenuAction> actions)
{
    queue_.insert(queue_.begin() + (queue_.empty() ? 0 : 1), actions.begin(), actions.end());
}

void AnsweringCall::take(std::vector<MenuAction> actions)
{
    for (MenuAction& a : actions)
        queue_.push_back(std::move(a));
    while (!queue_.empty() && !over_) {
        if (!execute(queue_.front()))
            return;
        queue_.pop_front();
    }
}

bool AnsweringCall::setPath(char (&field)[pathFieldSize], const std::string& path)
{
    std::string name = settings_.daemonPath(path);
    if (name.size() >= pathFieldSize) {
        log_("path too long for the daemon (" + std::to_string(name.size()) + " bytes, at most " +
             std::to_string(pathFieldSize - 1) + "): " + name);
        return false;
    }
    memcpy(field, name.c_str(), name.size() + 1);
    return true;
}

std::string AnsweringCall::fileFor(const PlayItem& item)
{
    std::string path, error;
    bool ok = true;
    switch (item.kind) {
    case PlayItem::Greeting:
        if (!settings_.greetingPath.empty() && access(settings_.greetingPath.c_str(), R_OK) == 0)
            return settings_.greetingPath;
        ok = prompts_.promptFile(phrase::greeting, &path, &error);
        break;
    case PlayItem::Beep:
        ok = prompts_.beepFile(&path, &error);
        break;
    case PlayItem::Prompt:
        ok = prompts_.promptFile(item.text, &path, &error);
        break;
    case PlayItem::Message:
        if (item.message < fresh_.size())
            return fresh_[item.message].audioPath;
        ok = false;
        error = "no message " + std::to_string(item.message + 1);
        break;
    }
    if (!ok)
        log_("nothing to play: " + error);
    return ok ? path : std::string();
}

// Posts the next file of the list; false when none is left.
bool AnsweringCall::postNextItem()
{
    while (nextItem_ < playlist_.size()) {
        const std::string& file = playlist_[nextItem_++];
        if (file.empty() || !setPath(cb_.messagePath, file))
            continue;
        writeWord(cb_.messageDone, 0);
        writeWord(cb_.messageStart, 1);
        quiet_ = false;
        return true;
    }
    return false;
}

void AnsweringCall::watchPlaying()
{
    if (!playing_ || stopping_)
        return;
    bool ended = readWord(cb_.messageDone) == 1;
    if (!ended && readWord(cb_.messageStart) == 0 && readWord(cb_.messagePlaying) == 0) {
        // Taken, yet neither playing nor done: the daemon could not open
        // it (it said so on its standard error) -- or it is opening it
        // right now, which a loaded machine can stretch to many polls.
        if (!quiet_) {
            quiet_ = true;
            quietSince_ = Clock::now();
        }
        ended = Clock::now() - quietSince_ > openGrace;
    } else {
        quiet_ = false;
    }
    if (!ended || postNextItem())
        return;
    playing_ = false;
    take(menu_.playDone());
}

bool AnsweringCall::stopPlaying()
{
    if (!playing_)
        return true;
    if (!stopping_) {
        stopping_ = true;
        stopSince_ = Clock::now();
        writeWord(cb_.messageStop, 1);
    }
    // Done when the file asked for has ended (or never began), or when the
    // daemon has not acted in time.
    bool idle = readWord(cb_.messagePlaying) == 0 && readWord(cb_.messageStart) == 0;
    if (!(idle && readWord(cb_.messageDone) == 1) && Clock::now() - stopSince_ <= stopGrace)
        return false;
    // A stop request left set while nothing plays would end the next
    // greeting at once: cleared then.  One that timed out while a file still
    // plays stays set, and ends it when the daemon gets to it.
    if (idle)
        writeWord(cb_.messageStop, 0);
    stopping_ = false;
    playing_ = false;
    playlist_.clear();
    return true;
}

void AnsweringCall::readResponse()
{
    if (responseFd_ < 0)
        return;
    uint8_t buffer[4096];
    ssize_t n;
    while ((n = read(responseFd_, buffer, sizeof buffer)) > 0)
        silence_.feed(buffer, static_cast<size_t>(n));
}

void AnsweringCall::watchRecording()
{
    if (!recording_ || ending_)
        return;
    readResponse();
    bool running = readWord(cb_.responseRecording) == 1;
    recordingSeen_ = recordingSeen_ || running;
    if (readWord(cb_.responseDone) == 1) {
        take(menu_.recordingLimit());
    } else if (recordingSeen_ && !running && readWord(cb_.t2aRunning) == 1) {
        // Ended by the daemon without reaching the limit, the line still up:
        // the file could not be written (a full disk).
        writeFailed_ = true;
        lost_ = true;
        log_("the message could not be written; it is dropped");
        take(menu_.recordingLimit());
    } else if (silence_.silentFor(silenceSamples_)) {
        take(menu_.silence());
    }
}

bool AnsweringCall::endRecording(bool keep, RecordingEnd reason)
{
    if (!recording_)
        return true;
    if (!ending_) {
        ending_ = true;
        endingSince_ = Clock::now();
        // The start stays posted: withdrawing it could cross the daemon
        // taking it, and the recording would run on unstopped.  Taken
        // together with the stop, it opens and closes an empty file.
        writeWord(cb_.responseStop, 1);
    }
    // The daemon closes the file at its next byte (responseDone), or at its
    // end on a hang-up; only then is every byte in it.
    bool closed = readWord(cb_.responseDone) == 1 || writeFailed_ ||
                  (readWord(cb_.t2aRunning) == 0 && readWord(cb_.responseRecording) == 0);
    if (!closed && Clock::now() - endingSince_ < stopGrace)
        return false;
    // Left set if the daemon has not acted on it yet (no byte came from
    // the line): it ends that recording at the next byte.
    if (readWord(cb_.responseRecording) == 0 && readWord(cb_.responseStart) == 0)
        writeWord(cb_.responseStop, 0);
    readResponse();
    if (responseFd_ >= 0)
        close(responseFd_);
    responseFd_ = -1;
    recording_ = false;
    ending_ = false;

    struct stat st{};
    bool empty = stat(pending_.audioPath.c_str(), &st) != 0 || st.st_size == 0;
    if (!keep || writeFailed_ || empty) {
        mailbox_.abandonMessage(&pending_);
        keysOpen_ = false;
        return true;
    }
    // Stored by finish(): the daemon's last touchtone lines may still be on
    // their way after a hang-up, and belong to the message.
    toKeep_ = true;
    keptReason_ = reason;
    keysOpen_ = reason == RecordingEnd::HangUp;
    return true;
}

MailboxView AnsweringCall::mailboxView(std::vector<Message>* fresh)
{
    MailboxView view;
    std::string error;
    for (Message& m : mailbox_.list(&error)) {
        if (m.state == MessageState::Saved) {
            ++view.savedCount;
            continue;
        }
        MenuMessage mm;
        time_t t = static_cast<time_t>(m.meta.start);
        localtime_r(&t, &mm.received);
        view.fresh.push_back(mm);
        fresh->push_back(std::move(m));
    }
    if (!error.empty())
        log_("mailbox: " + error);
    time_t now = time(nullptr);
    localtime_r(&now, &view.now);
    return view;
}

bool AnsweringCall::execute(const MenuAction& a)
{
    std::string error;
    switch (a.kind) {
    case MenuAction::Play:
        playlist_.clear();
        for (const PlayItem& item : a.items)
            playlist_.push_back(fileFor(item));
        nextItem_ = 0;
        playing_ = postNextItem();
        if (!playing_)
            followWith(menu_.playDone()); // nothing playable: as if it had played
        return true;
    case MenuAction::StopPlaying:
        return stopPlaying();
    case MenuAction::StartRecording:
        silenceSamples_ = a.silenceSamples;
        silence_ = SilenceDetector();
        touchtones_.clear();
        keysOpen_ = true;
        writeFailed_ = false;
        recordingSeen_ = false;
        started_ = static_cast<int64_t>(time(nullptr));
        if (!mailbox_.beginMessage(&pending_, &error) || !setPath(cb_.responsePath, pending_.audioPath)) {
            if (!error.empty())
                log_("can't record the message: " + error);
            mailbox_.abandonMessage(&pending_);
            recording_ = true; // for the menu's sake: it ends at once, with nothing kept
            writeFailed_ = true;
            lost_ = true;
            followWith(menu_.recordingLimit()); // thank the caller and end
            return true;
        }
        responseFd_ = open(pending_.audioPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        writeWord(cb_.responseLimit, a.limitSamples);
        writeWord(cb_.responseStop, 0);
        writeWord(cb_.responseDone, 0);
        writeWord(cb_.responseStart, 1);
        recording_ = true;
        return true;
    case MenuAction::KeepRecording:
        return endRecording(true, a.reason);
    case MenuAction::DropRecording:
        return endRecording(false, a.reason);
    case MenuAction::MarkHeard:
    case MenuAction::SaveMessage:
    case MenuAction::DeleteMessage: {
        if (a.message >= fresh_.size())
            return true;
        Message& m = fresh_[a.message];
        bool ok = a.kind == MenuAction::MarkHeard ? mailbox_.markHeard(&m, &error)
                  : a.kind == MenuAction::SaveMessage ? mailbox_.save(&m, &error)
                                                      : mailbox_.moveToTrash(&m, time(nullptr), &error);
        if (!ok)
            log_("mailbox: " + error);
        return true;
    }
    case MenuAction::ArmTimer:
        timerArmed_ = true;
        timerAt_ = Clock::now() + std::chrono::milliseconds(a.timerMs);
        return true;
    case MenuAction::DisarmTimer:
        timerArmed_ = false;
        return true;
    case MenuAction::EndCall:
        writeWord(cb_.stopRequest, 1);
        over_ = true;
        return true;
    }
    return true;
}

bool AnsweringCall::poll()
{
    if (over_)
        return false;
    if (!hungUp_ && readWord(cb_.t2aRunning) == 0) {
        hungUp_ = true;
        take(menu_.hangUp());
    }
    if (acquireWord(cb_.codeComplete) == 1) {
        std::string digits(cb_.remoteCode, strnlen(cb_.remoteCode, remoteCodeMaxDigits));
        writeWord(cb_.codeComplete, 0);
        std::vector<Message> listed;
        std::vector<MenuAction> actions = menu_.remoteCode(digits, mailboxView(&listed));
        // Only a code that lets the owner in replaces the list the menu's
        // numbers point into; one keyed while listening changes nothing.
        if (!actions.empty() && menu_.phase() == RemoteMenu::Phase::Announcing)
            fresh_ = std::move(listed);
        take(std::move(actions));
    }
    if (queue_.empty()) {
        watchPlaying();
        watchRecording();
        if (timerArmed_ && Clock::now() >= timerAt_) {
            timerArmed_ = false;
            take(menu_.timer());
        }
    }
    take({}); // go on with an action that was waiting
    return !over_;
}

void AnsweringCall::responseWriteFailed()
{
    writeFailed_ = true;
    if (!toKeep_)
        return;
    toKeep_ = false;
    lost_ = true;
    mailbox_.abandonMessage(&pending_);
    log_("the message could not be written; it is dropped");
}

bool AnsweringCall::finish(Message* kept)
{
    keysOpen_ = false;
    if (toKeep_) {
        toKeep_ = false;
        MessageMeta meta;
        meta.caller = settings_.caller;
        meta.called = settings_.called;
        meta.start = started_;
        meta.touchtones = touchtones_;
        meta.endReason = recordingEndName(keptReason_);
        std::string error;
        if (mailbox_.commitMessage(&pending_, meta, &keptMessage_, &error)) {
            kept_ = true;
            log_("new message " + keptMessage_.stem + " (" + durationText(keptMessage_.meta.durationSamples) + ", " +
                 meta.endReason + ")");
        } else {
            lost_ = true;
            log_("the message could not be stored: " + error);
        }
    }
    if (!kept_)
        return false;
    if (!settings_.onMessage.empty())
        announceNewMessage(mailbox_, keptMessage_, settings_.onMessage, settings_.onMessageLimitMs, log_);
    if (kept)
        *kept = keptMessage_;
    return true;
}

} // namespace callctl
