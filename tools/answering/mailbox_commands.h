// `callctl messages ...`: what the owner asks of the mailbox at home, read
// from the words after the options, and the requests that need no daemon
// carried out here (list, delete, save, restore, export, trash, purge).
// Playing a message and recording or playing the greeting drive the
// daemons; for those the command finds the message here and does the rest
// with the daemons.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mailbox.h"

namespace callctl {

struct MessagesRequest {
    enum What {
        List,           // list
        Trash,          // trash: what the trash holds, numbered for restore
        Play,           // play N (daemons)
        Delete,         // delete N
        Save,           // save N
        Restore,        // restore N (a number of the trash list)
        Export,         // export N FILE.wav
        Purge,          // purge: what the 7 days allow, now
        GreetingRecord, // greeting record (daemons)
        GreetingPlay,   // greeting play (daemons)
    };
    What what = List;
    size_t number = 0;  // 1-based, as the lists show
    std::string file;   // Export
};

// No words means list.  The error says what was wrong, for a usage message.
bool parseMessagesRequest(const std::vector<std::string>& words, MessagesRequest* request, std::string* error);

struct MessagesOptions {
    bool json = false;  // list and trash as JSON
    bool force = false; // export may replace an existing file
};

// Carries out a request that needs no daemon: *out gets what to print,
// *error the reason of a failure.  Returns exitOk or exitFailure.
int runMessagesRequest(Mailbox& mailbox, const MessagesRequest& request, const MessagesOptions& options, int64_t now,
                       std::string* out, std::string* error);

// Message `number` (1-based) of the list; an error that names the count
// when there is no such message.
bool messageByNumber(const Mailbox& mailbox, size_t number, Message* message, std::string* error);

} // namespace callctl
