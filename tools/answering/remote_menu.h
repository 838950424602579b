// The answering machine's call as a pure state machine: what happened on
// the call goes in (touchtones, a complete remote code, the end of what was
// playing, the end of the recording, the hang-up, the timer), and what the
// driver is to do with the daemon and the mailbox comes out, in order.
//
// A call: the greeting and a beep, then the caller's message, kept when it
// ends at the limit, after silence or at the hang-up.  The remote code
// (`*PIN#`), keyed at any time before that, drops what was being recorded:
// with the right PIN the owner hears how many messages there are and then
// each new message, oldest first, introduced by its date and time; keys
// 1 next, 2 again, 3 delete, 4 save, 0 help, # end.  A wrong PIN is
// refused; the third ends the call.  Without a PIN, codes are only keys.
//
// The driver's side of the bargain:
//  - Play: play the items one after another down the line, then report
//    playDone() once.  StopPlaying abandons that list: no playDone() for it.
//    A Play never arrives while another list plays (a StopPlaying comes
//    first), nor while the recording runs.
//  - StartRecording / KeepRecording / DropRecording: the caller's message.
//  - ArmTimer: report timer() after the time given, unless DisarmTimer or
//    another ArmTimer comes first.  Only one timer exists.
//  - EndCall: hang up.  Nothing comes out after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace callctl {

struct PlayItem {
    enum Kind {
        Greeting, // the owner's greeting (or the built-in one)
        Beep,     // the tone before the caller speaks
        Prompt,   // spoken text
        Message,  // message `message` of the list given with the remote code
    };
    Kind kind = Prompt;
    std::string text;   // Prompt
    size_t message = 0; // Message
    bool operator==(const PlayItem&) const = default;
};

enum class RecordingEnd { Limit, Silence, HangUp };
const char* recordingEndName(RecordingEnd end); // "limit", "silence", "hang-up"

struct MenuAction {
    enum Kind {
        Play,           // items
        StopPlaying,
        StartRecording, // limitSamples, silenceSamples
        KeepRecording,  // reason
        DropRecording,
        MarkHeard,      // message
        SaveMessage,    // message
        DeleteMessage,  // message
        ArmTimer,       // timerMs
        DisarmTimer,
        EndCall,
    };
    Kind kind = EndCall;
    std::vector<PlayItem> items;
    size_t message = 0;
    RecordingEnd reason = RecordingEnd::HangUp;
    int timerMs = 0;
    uint32_t limitSamples = 0;   // StartRecording: the longest message
    uint32_t silenceSamples = 0; // StartRecording: the silence that ends it
    bool operator==(const MenuAction&) const = default;
};

// The mailbox as the remote listener meets it, read when the code is keyed.
struct MenuMessage {
    std::tm received{}; // local time
};
struct MailboxView {
    std::vector<MenuMessage> fresh; // the new messages, oldest first
    size_t savedCount = 0;
    std::tm now{};                  // local time, for "today" and "yesterday"
};

struct MenuSettings {
    std::string pin;                 // empty: remote control is off
    uint32_t maxMessageSeconds = 120; // --max-message
    uint32_t silenceSeconds = 8;      // a message ends after this much silence
    int pinTries = 3;                // wrong codes before the call ends
    int afterMessageMs = 4000;       // time to key 2, 3 or 4 before the next message
    int idleMs = 30000;              // silence at the end of the list before goodbye
    int pinRetryMs = 20000;          // time to key another code after a wrong one
};

class RemoteMenu {
public:
    enum class Phase {
        Greeting,      // greeting and beep playing
        Recording,     // the caller's message
        PinRefused,    // a wrong code: its prompt, then waiting for another
        Announcing,    // the count of messages
        Listening,     // a message's intro and audio
        AfterMessage,  // a message has ended: keys act on it until the timer
        Confirming,    // "deleted" / "saved"
        Helping,       // the key help
        EndOfList,     // no more new messages: waiting for a key
        Closing,       // the last words, then the end of the call
        Ended,
    };

    explicit RemoteMenu(MenuSettings settings);

    std::vector<MenuAction> start();
    std::vector<MenuAction> key(char key);
    std::vector<MenuAction> remoteCode(const std::string& digits, const MailboxView& mailbox);
    std::vector<MenuAction> playDone();
    std::vector<MenuAction> recordingLimit(); // the daemon ended it at the size limit
    std::vector<MenuAction> silence();        // the caller has been silent long enough
    std::vector<MenuAction> hangUp();
    std::vector<MenuAction> timer();

    Phase phase() const { return phase_; }
    int wrongCodes() const { return wrongCodes_; }

private:
    bool remote() const;
    // Stops what plays, the recording and the timer, as a new step begins.
    void interrupt(std::vector<MenuAction>* out, bool dropRecording);
    void play(std::vector<MenuAction>* out, std::vector<PlayItem> items, Phase next);
    void arm(std::vector<MenuAction>* out, int ms);
    void playMessage(std::vector<MenuAction>* out, size_t index);
    void advance(std::vector<MenuAction>* out);
    bool currentPresent() const;
    void close(std::vector<MenuAction>* out, const char* lastWords);

    MenuSettings settings_;
    Phase phase_ = Phase::Greeting;
    bool playing_ = false;
    bool recording_ = false;
    bool timerArmed_ = false;
    int wrongCodes_ = 0;
    MailboxView mailbox_;
    std::vector<bool> filed_;          // deleted or saved during this call
    static constexpr size_t none = static_cast<size_t>(-1);
    size_t current_ = none;            // the message keys act on
};

} // namespace callctl
