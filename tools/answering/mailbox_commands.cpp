#include "mailbox_commands.h"

#include <sys/stat.h>

#include "command_line.h"
#include "message_list.h"

namespace callctl {

namespace {

struct Verb {
    const char* word;
    MessagesRequest::What what;
    int arguments; // after the verb: 0, 1 (N) or 2 (N FILE)
};

constexpr Verb verbs[] = {
    {"list", MessagesRequest::List, 0},       {"trash", MessagesRequest::Trash, 0},
    {"play", MessagesRequest::Play, 1},       {"delete", MessagesRequest::Delete, 1},
    {"save", MessagesRequest::Save, 1},       {"restore", MessagesRequest::Restore, 1},
    {"export", MessagesRequest::Export, 2},   {"purge", MessagesRequest::Purge, 0},
};

bool numbered(const std::vector<Message>& list, size_t number, const char* where, Message* message,
              std::string* error)
{
    if (number < 1 || number > list.size()) {
        *error = "no message " + std::to_string(number) + " " + where + " (" +
                 (list.empty() ? std::string("it is empty") : "1 to " + std::to_string(list.size())) + ")";
        return false;
    }
    *message = list[number - 1];
    return true;
}

} // namespace

bool parseMessagesRequest(const std::vector<std::string>& words, MessagesRequest* request, std::string* error)
{
    *request = MessagesRequest{};
    if (words.empty())
        return true;
    if (words[0] == "greeting") {
        if (words.size() == 2 && (words[1] == "record" || words[1] == "play")) {
            request->what = words[1] == "record" ? MessagesRequest::GreetingRecord : MessagesRequest::GreetingPlay;
            return true;
        }
        *error = "greeting takes \"record\" or \"play\"";
        return false;
    }
    for (const Verb& verb : verbs) {
        if (words[0] != verb.word)
            continue;
        if (static_cast<int>(words.size()) - 1 != verb.arguments) {
            *error = std::string(verb.word) +
                     (verb.arguments == 0 ? " takes nothing more"
                                          : verb.arguments == 1 ? " takes a message number" : " takes a message number and a file");
            return false;
        }
        request->what = verb.what;
        if (verb.arguments >= 1) {
            long n = 0;
            if (!parseNumber(verb.word, words[1], 1, 1000000, &n, error))
                return false;
            request->number = static_cast<size_t>(n);
        }
        if (verb.arguments == 2)
            request->file = words[2];
        return true;
    }
    *error = "unknown request \"" + words[0] + "\" (list, play N, delete N, save N, restore N, export N FILE.wav, "
             "trash, purge, greeting record, greeting play)";
    return false;
}

bool messageByNumber(const Mailbox& mailbox, size_t number, Message* message, std::string* error)
{
    std::string listError;
    std::vector<Message> list = mailbox.list(&listError);
    if (!listError.empty()) {
        *error = listError;
        return false;
    }
    return numbered(list, number, "in the mailbox", message, error);
}

int runMessagesRequest(Mailbox& mailbox, const MessagesRequest& request, const MessagesOptions& options, int64_t now,
                       std::string* out, std::string* error)
{
    Message m;
    switch (request.what) {
    case MessagesRequest::List:
    case MessagesRequest::Trash: {
        bool trash = request.what == MessagesRequest::Trash;
        std::vector<Message> list = trash ? mailbox.listTrash(error) : mailbox.list(error);
        if (!error->empty())
            return exitFailure;
        *out = options.json ? messageListJson(list) : messageListText(list);
        return exitOk;
    }
    case MessagesRequest::Delete:
        if (!messageByNumber(mailbox, request.number, &m, error) || !mailbox.moveToTrash(&m, now, error))
            return exitFailure;
        *out = "message " + std::to_string(request.number) + " moved to the trash (kept 7 days; \"restore\" brings it back)\n";
        return exitOk;
    case MessagesRequest::Save:
        if (!messageByNumber(mailbox, request.number, &m, error))
            return exitFailure;
        if (m.state == MessageState::Saved) {
            *out = "message " + std::to_string(request.number) + " is saved already\n";
            return exitOk;
        }
        if (!mailbox.save(&m, error))
            return exitFailure;
        *out = "message " + std::to_string(request.number) + " saved\n";
        return exitOk;
    case MessagesRequest::Restore: {
        std::vector<Message> trash = mailbox.listTrash(error);
        if (!error->empty() || !numbered(trash, request.number, "in the trash", &m, error) ||
            !mailbox.restore(&m, error))
            return exitFailure;
        *out = "message restored as new: " + m.stem + "\n";
        return exitOk;
    }
    case MessagesRequest::Export: {
        if (!messageByNumber(mailbox, request.number, &m, error))
            return exitFailure;
        struct stat target, own;
        if (stat(request.file.c_str(), &target) == 0) {
            // Not even --force writes a WAV over the message itself.
            for (const std::string& path : {m.audioPath, m.metaPath})
                if (stat(path.c_str(), &own) == 0 && own.st_dev == target.st_dev && own.st_ino == target.st_ino) {
                    *error = request.file + " is the message itself";
                    return exitFailure;
                }
            if (!options.force) {
                *error = request.file + " exists; --force replaces it";
                return exitFailure;
            }
        }
        if (!mailbox.exportWav(m, request.file, error))
            return exitFailure;
        *out = "message " + std::to_string(request.number) + " written to " + request.file + "\n";
        return exitOk;
    }
    case MessagesRequest::Purge: {
        int removed = mailbox.purge(now);
        *out = std::to_string(removed) + (removed == 1 ? " file" : " files") + " removed\n";
        return exitOk;
    }
    case MessagesRequest::Play:
    case MessagesRequest::GreetingRecord:
    case MessagesRequest::GreetingPlay:
        break;
    }
    *error = "this request plays or records through the daemons";
    return exitFailure;
}

} // namespace callctl
