// One answered call, driven through the VoicePhone daemon's answer mode:
// the remote menu's actions carried out with the record's words, the
// mailbox and the prompts, and what happens on the call turned into the
// menu's events.
//
// The daemon must already run in answer mode with phoneUp set.  Whoever
// runs it calls poll() every few milliseconds and passes on each touchtone
// the daemon reports with key(), from the same thread.  Once poll() says
// the call is over and the daemon has ended, the touchtones it printed last
// are passed on too, then finish() stores the message (so that it lists
// with every key heard) and runs the --on-message command for it.
//
// The daemon's greeting mechanism plays one file at a time; lists are
// played file after file.  Stopping a greeting takes care of the rule that
// a stop request posted while nothing plays stays set and would end the
// next greeting: the request is cleared once the daemon has ended (or
// never begun) the file it was meant for.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "control_block.h"
#include "mailbox.h"
#include "prompts.h"
#include "remote_menu.h"
#include "silence_detector.h"

namespace callctl {

struct CallSettings {
    MenuSettings menu;
    std::string greetingPath;  // empty: the built-in spoken greeting
    std::string caller;        // the caller's URI
    std::string called;        // the called URI
    std::string onMessage;     // command run after a new message; empty: none
    int onMessageLimitMs = 120000;
    // The name the daemon is to open for a file of ours (it must fit the
    // record's 128-byte path fields), e.g. relative to its working folder.
    std::function<std::string(const std::string&)> daemonPath = [](const std::string& p) { return p; };
};

class AnsweringCall {
public:
    using Log = std::function<void(const std::string&)>;
    AnsweringCall(ControlBlock& cb, Mailbox& mailbox, PromptCache& prompts, CallSettings settings, Log log);
    ~AnsweringCall();

    void begin();
    void key(char key);
    bool poll(); // false once the call is over

    // Stores the message kept on this call and runs the --on-message
    // command for it; false when none was kept.
    bool finish(Message* kept);
    // Whether a caller's message was lost: it could not be recorded,
    // written or stored (each told through the log as it happened).
    bool messageLost() const { return lost_; }
    // The daemon said it could not write the response file.  Its end may
    // cross the caller's hang-up, which then looks like any other end:
    // whoever reads the daemon's lines tells it here, before finish(), so
    // the part written is not kept as if it were the whole message.
    void responseWriteFailed();

private:
    using Clock = std::chrono::steady_clock;
    void take(std::vector<MenuAction> actions);
    void followWith(std::vector<MenuAction> actions); // right after the action being carried out
    bool execute(const MenuAction& action); // false: not done yet, call again
    void watchPlaying();
    void watchRecording();
    bool postNextItem();
    bool stopPlaying();
    bool endRecording(bool keep, RecordingEnd reason);
    bool setPath(char (&field)[pathFieldSize], const std::string& path);
    std::string fileFor(const PlayItem& item);
    MailboxView mailboxView(std::vector<Message>* fresh);
    void readResponse();

    ControlBlock& cb_;
    Mailbox& mailbox_;
    PromptCache& prompts_;
    CallSettings settings_;
    Log log_;
    RemoteMenu menu_;
    std::deque<MenuAction> queue_;
    bool over_ = false;
    bool hungUp_ = false;

    // Playing: the files of the list still to come.
    std::vector<std::string> playlist_;
    size_t nextItem_ = 0;
    bool playing_ = false;
    bool stopping_ = false;
    Clock::time_point stopSince_;
    bool quiet_ = false; // the posted file found neither playing nor done
    Clock::time_point quietSince_;

    // Recording.
    bool recording_ = false;
    bool ending_ = false;
    Clock::time_point endingSince_;
    bool writeFailed_ = false;
    bool recordingSeen_ = false; // the daemon has taken the start
    PendingMessage pending_;
    int responseFd_ = -1;
    SilenceDetector silence_;
    uint32_t silenceSamples_ = 0;
    int64_t started_ = 0;
    std::string touchtones_;
    bool keysOpen_ = false;      // keys go with the message
    bool toKeep_ = false;        // a message to store at finish()
    RecordingEnd keptReason_ = RecordingEnd::HangUp;
    bool kept_ = false;
    bool lost_ = false;
    Message keptMessage_;

    std::vector<Message> fresh_; // the new messages offered to the owner
    bool inCode_ = false;        // keys since a '*': a remote code, not menu keys
    int codeDigits_ = 0;
    bool timerArmed_ = false;
    Clock::time_point timerAt_;
};

} // namespace callctl
