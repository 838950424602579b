// One message of the mailbox as plain values: the record kept in the .json
// beside its audio, the file name it is stored under, and how a list shows it.
//
// The mailbox is meant to be read without the tool too, so the record is
// plain JSON with readable times ("2026-12-09T01:02:03Z", always UTC) and
// the file names start with the UTC date and time, so that the names sort
// in the order the calls came in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace callctl {

inline constexpr uint32_t messageRate = 8000; // µ-law samples a second

struct MessageMeta {
    std::string caller;            // caller's URI as the line gave it
    std::string called;            // the URI that was called
    int64_t start = 0;             // seconds since the epoch (UTC) the message began
    uint64_t durationSamples = 0;  // length of the audio in samples
    std::string touchtones;        // keys heard while it was recorded
    std::string endReason;         // "hang-up", "limit", "silence", ...
    bool heard = false;            // played to the owner at least once
    int64_t deleted = 0;           // when it was moved to the trash; 0 = never
};

// What a caller URI becomes in a file name: the user part of a SIP URI (or
// the number of a tel: URI, or the host when there is no user), with every
// character other than letters, digits, '+', '.', '-' and '_' made '_',
// no leading dot, at most 40 characters; "unknown" when nothing is left.
std::string fileSafeCaller(const std::string& uri);

// "YYYYMMDD-HHMMSS-CALLER" for a message that began at startUtc.
std::string messageStem(int64_t startUtc, const std::string& caller);

std::string utcText(int64_t seconds);                      // "2026-12-09T01:02:03Z"
bool parseUtcText(const std::string& text, int64_t* seconds);

std::string metaToJson(const MessageMeta& meta);
bool metaFromJson(const std::string& text, MessageMeta* meta, std::string* error);

// "m:ss" (or "h:mm:ss") for a length in samples, rounded to the second.
std::string durationText(uint64_t samples);

} // namespace callctl
