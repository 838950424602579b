// The mailbox: a folder of messages a person can read without the tool.
//
//   DIR/new/      messages not yet filed, as STEM.ul (headerless µ-law, as
//                 the daemons write it) and STEM.json (the MessageMeta)
//   DIR/saved/    messages kept
//   DIR/trash/    deleted messages, purged 7 days after their deletion
//   DIR/.tmp/     messages being recorded, under names no list shows
//
// A STEM.wav may sit beside a message (made for the --on-message command);
// it is a copy, and follows the message where it goes.
//
// A message lists only when both of its files are there.  It is recorded
// under a temporary name and given its final name only once its audio and
// its record are complete and on disk, so a crash or a full disk leaves at
// most a temporary file (or an audio file without its record), never a
// message that lists as complete.  Final names are taken with link(2), which
// fails rather than replace a file, so two calls recording at once (two
// lines into one mailbox) never share a file: the later one takes the next
// free "STEM-2", "STEM-3", ...
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "message_record.h"

namespace callctl {

enum class MessageState { New, Saved, Trash };
const char* stateName(MessageState state); // "new", "saved", "trash"

struct Message {
    MessageState state = MessageState::New;
    std::string stem;      // file name without .ul/.json
    std::string audioPath; // DIR/STATE/STEM.ul
    std::string metaPath;  // DIR/STATE/STEM.json
    MessageMeta meta;
};

// A message being recorded: the daemon writes its audio to audioPath.
struct PendingMessage {
    std::string audioPath; // DIR/.tmp/...; empty when none is pending
};

inline constexpr int64_t trashKeepSeconds = 7 * 24 * 3600;
inline constexpr int64_t staleTempSeconds = 24 * 3600;

class Mailbox {
public:
    explicit Mailbox(std::string dir);

    const std::string& dir() const { return dir_; }

    // Creates the folders (owner only: the messages are private) as needed.
    bool open(std::string* error);

    // New and saved messages, oldest first (by start time, then name);
    // message number n of the lists people see is element n - 1.
    std::vector<Message> list(std::string* error) const;
    std::vector<Message> listTrash(std::string* error) const;

    // An empty file of mode 0600 under a name of its own in DIR/.tmp/.
    bool beginMessage(PendingMessage* pending, std::string* error);
    // Gives the recorded audio its final name in new/ with `meta` beside it;
    // the duration is taken from the audio file itself.  On failure nothing
    // lists and the temporary file is gone.
    bool commitMessage(PendingMessage* pending, const MessageMeta& meta, Message* stored, std::string* error);
    void abandonMessage(PendingMessage* pending);

    bool markHeard(Message* message, std::string* error);
    bool save(Message* message, std::string* error);                  // new -> saved
    bool moveToTrash(Message* message, int64_t now, std::string* error);
    bool restore(Message* message, std::string* error);               // trash -> new

    // Removes messages deleted more than 7 days before `now`, temporary
    // files older than a day and records left without audio by a crash.
    // Returns how many files were removed.
    int purge(int64_t now);

    // A 16-bit PCM WAV of the message (what mail programs and phones play),
    // written under a temporary name beside wavPath and renamed when done.
    bool exportWav(const Message& message, const std::string& wavPath, std::string* error) const;
    // The same as STEM.wav beside the message, for the --on-message
    // command; it follows the message when it is filed and goes with it.
    bool writeWavBeside(const Message& message, std::string* wavPath, std::string* error) const;

private:
    std::string folder(MessageState state) const;
    std::vector<Message> listFolder(MessageState state, std::string* error) const;
    // Moves both files into `to` under the first free name, rewriting the
    // record as `meta`.
    bool move(Message* message, MessageState to, const MessageMeta& meta, std::string* error);
    bool writeTempFile(const std::string& bytes, std::string* path, std::string* error);

    std::string dir_;
};

} // namespace callctl
