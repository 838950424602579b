#include "tape_marks.h"

#include <cstring>

namespace callctl {

uint32_t snapshotWord(const BlockSnapshot& s, const char* name)
{
    const auto& fields = wordFields();
    for (size_t i = 0; i < fields.size() && i < s.words.size(); ++i)
        if (strcmp(fields[i].name, name) == 0)
            return s.words[i];
    return 0;
}

void TapeMarks::observe(const BlockSnapshot& before, const BlockSnapshot& now)
{
    bool wasActive = snapshotWord(before, "recordFlags") & FlagActive;
    bool active = snapshotWord(now, "recordFlags") & FlagActive;
    if (active && !wasActive) {
        takeStart_ = snapshotWord(now, "tapePosition");
        marksBeforeTake_ = marks_.size();
        marks_.push_back({TapeMark::Kind::TapingOn, takeStart_, 0, ""});
    }
    if (!active && wasActive) {
        uint32_t end = snapshotWord(now, "tapePosition");
        marks_.push_back({TapeMark::Kind::TapingOff, end, 0, ""});
        // A take after a move back overwrites the tape: keys marked there
        // earlier are no longer on it.
        size_t kept = 0;
        for (size_t i = 0; i < marks_.size(); ++i) {
            const TapeMark& m = marks_[i];
            bool key = m.kind == TapeMark::Kind::Touchtone || m.kind == TapeMark::Kind::DtmfSent;
            if (i < marksBeforeTake_ && key && m.position >= takeStart_ && m.position < end)
                continue;
            marks_[kept++] = m;
        }
        marks_.resize(kept);
    }
    bool wasPending = snapshotWord(before, "dtmfPending"), pending = snapshotWord(now, "dtmfPending");
    if (!wasPending && pending)
        pendingKey_ = now.dtmfKey;
    if (wasPending && !pending && pendingKey_)
        marks_.push_back({TapeMark::Kind::DtmfSent, snapshotWord(now, "outgoingPosition"), 0,
                          std::string(1, static_cast<char>(pendingKey_))});
}

void TapeMarks::touchtone(char key, uint32_t ingoingPosition)
{
    marks_.push_back({TapeMark::Kind::Touchtone, ingoingPosition, 0, std::string(1, key)});
}

void TapeMarks::move(uint32_t from, uint32_t to, const std::string& label)
{
    marks_.push_back({TapeMark::Kind::TapeMove, from, to, label});
}

} // namespace callctl
