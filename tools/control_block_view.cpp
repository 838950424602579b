#include "control_block_view.h"

#include <cstdio>
#include <cstring>

namespace callctl {

std::string tapeTime(uint32_t bytes, bool tenths)
{
    uint32_t seconds = bytes / bytesPerSecond;
    char text[32];
    if (tenths)
        snprintf(text, sizeof text, "%02u:%02u.%u", seconds / 60, seconds % 60,
                 (bytes % bytesPerSecond) * 10 / bytesPerSecond);
    else
        snprintf(text, sizeof text, "%02u:%02u", seconds / 60, seconds % 60);
    return text;
}

std::string flagNames(uint32_t flags)
{
    static const std::pair<uint32_t, const char*> bits[] = {
        {FlagStartRequest, "StartRequest"}, {FlagStarted, "Started"}, {FlagActive, "Active"},
        {FlagStopRequest, "StopRequest"},   {FlagStopped, "Stopped"},
    };
    char hex[16];
    snprintf(hex, sizeof hex, "0x%02x", flags);
    std::string names;
    uint32_t known = 0;
    for (const auto& [bit, name] : bits) {
        known |= bit;
        if (flags & bit)
            names += (names.empty() ? "" : "|") + std::string(name);
    }
    if (uint32_t other = flags & ~known) {
        char rest[24];
        snprintf(rest, sizeof rest, "0x%x", other);
        names += (names.empty() ? "" : "|") + std::string(rest);
    }
    return names.empty() ? std::string(hex) : std::string(hex) + " " + names;
}

const std::vector<WordField>& wordFields()
{
    using K = FieldKind;
    using C = ControlBlock;
    static const std::vector<WordField> fields = {
        {"a2tRunning", &C::a2tRunning, K::Word},
        {"t2aRunning", &C::t2aRunning, K::Word},
        {"phoneUp", &C::phoneUp, K::Word},
        {"playRunning", &C::playRunning, K::Word},
        {"recordRunning", &C::recordRunning, K::Word},
        {"stopRequest", &C::stopRequest, K::Word},
        {"holdAudio", &C::holdAudio, K::Word},
        {"rewindRequest", &C::rewindRequest, K::Word},
        {"endRequest", &C::endRequest, K::Word},
        {"rewindDone", &C::rewindDone, K::Word},
        {"endDone", &C::endDone, K::Word},
        {"playFlags", &C::playFlags, K::Flags},
        {"recordFlags", &C::recordFlags, K::Flags},
        {"errorFlag", &C::errorFlag, K::Word},
        {"tapeFull", &C::tapeFull, K::Word},
        {"answerMode", &C::answerMode, K::Word},
        {"messageStart", &C::messageStart, K::Word},
        {"messagePlaying", &C::messagePlaying, K::Word},
        {"messageStop", &C::messageStop, K::Word},
        {"responseStop", &C::responseStop, K::Word},
        {"messageDone", &C::messageDone, K::Word},
        {"responseStart", &C::responseStart, K::Word},
        {"responseRecording", &C::responseRecording, K::Word},
        {"responseDone", &C::responseDone, K::Word},
        {"codeComplete", &C::codeComplete, K::Word},
        {"dtmfPending", &C::dtmfPending, K::Word},
        {"outgoingOnly", &C::outgoingOnly, K::Word},
        {"audioFd", &C::audioFd, K::Descriptor},
        {"wrapMode", &C::wrapMode, K::Wrap},
        {"skipBack", &C::skipBack, K::Seconds},
        {"skipForward", &C::skipForward, K::Seconds},
        {"tapePosition", &C::tapePosition, K::Position},
        {"responseLimit", &C::responseLimit, K::Position},
        {"tapeLimit", &C::tapeLimit, K::Position},
        {"tapeLength", &C::tapeLength, K::Position},
        {"ingoingPosition", &C::ingoingPosition, K::Position},
        {"outgoingPosition", &C::outgoingPosition, K::Position},
        {"ownerUid", &C::ownerUid, K::Id},
        {"ownerGid", &C::ownerGid, K::Id},
    };
    return fields;
}

std::string pathText(const char (&field)[pathFieldSize])
{
    return std::string(field, strnlen(field, pathFieldSize));
}

BlockSnapshot takeSnapshot(const ControlBlock& cb)
{
    BlockSnapshot s;
    for (const auto& f : wordFields())
        s.words.push_back(readWord(cb.*f.member));
    s.dtmfKey = readByte(cb.dtmfKey);
    s.remoteCode = std::string(cb.remoteCode, strnlen(cb.remoteCode, remoteCodeMaxDigits));
    s.paths = {pathText(cb.ingoingPath), pathText(cb.outgoingPath), pathText(cb.messagePath),
               pathText(cb.responsePath)};
    return s;
}

std::string formatField(const WordField& field, uint32_t value)
{
    char text[64];
    switch (field.kind) {
    case FieldKind::Flags:
        return flagNames(value);
    case FieldKind::Position:
        snprintf(text, sizeof text, "%u (%s)", value, tapeTime(value, true).c_str());
        return text;
    case FieldKind::Seconds:
        snprintf(text, sizeof text, "%u s", value);
        return text;
    case FieldKind::Wrap:
        snprintf(text, sizeof text, "%u (%s)", value,
                 value == 1 ? "mu-law" : value == 16 ? "16-bit linear" : "not supported");
        return text;
    case FieldKind::Word:
    case FieldKind::Descriptor:
    case FieldKind::Id:
        break;
    }
    return std::to_string(value);
}

namespace {

std::string keyText(uint8_t key)
{
    if (key == 0)
        return "none";
    char text[16];
    if (key >= 0x20 && key < 0x7f)
        snprintf(text, sizeof text, "'%c'", key);
    else
        snprintf(text, sizeof text, "0x%02x", key);
    return text;
}

} // namespace

std::string describeBlock(const BlockSnapshot& s)
{
    const auto& fields = wordFields();
    auto value = [&](const char* name) -> std::string {
        for (size_t i = 0; i < fields.size(); ++i)
            if (strcmp(fields[i].name, name) == 0)
                return std::string(name) + " " + formatField(fields[i], s.words[i]);
        return name;
    };
    auto line = [&](const char* title, std::initializer_list<const char*> names) {
        std::string out = title;
        out.resize(11, ' ');
        bool first = true;
        for (const char* n : names) {
            out += first ? "" : ", ";
            out += value(n);
            first = false;
        }
        return out + "\n";
    };
    std::string out;
    out += line("running", {"phoneUp", "t2aRunning", "a2tRunning", "playRunning", "recordRunning"});
    out += line("requests", {"stopRequest", "holdAudio", "rewindRequest", "endRequest", "skipBack", "skipForward"});
    out += "           dtmfKey " + keyText(s.dtmfKey) + ", " + value("dtmfPending") + "\n";
    out += line("done", {"rewindDone", "endDone", "codeComplete"});
    out += line("taping", {"recordFlags", "tapeFull", "errorFlag"});
    out += line("playing", {"playFlags", "outgoingOnly"});
    out += line("tape", {"tapePosition", "tapeLength", "tapeLimit"});
    out += line("", {"ingoingPosition", "outgoingPosition"});
    out += line("answer", {"answerMode", "messageStart", "messagePlaying", "messageStop", "messageDone"});
    out += line("", {"responseStart", "responseRecording", "responseStop", "responseDone"});
    out += line("", {"responseLimit"});
    out += line("device", {"wrapMode", "audioFd"});
    out += line("owner", {"ownerUid", "ownerGid"});
    out += "remote     code \"" + s.remoteCode + "\"\n";
    static const char* pathNames[] = {"ingoing", "outgoing", "message", "response"};
    for (size_t i = 0; i < 4; ++i) {
        std::string title = i == 0 ? "paths" : "";
        title.resize(11, ' ');
        std::string name = pathNames[i];
        name.resize(10, ' ');
        out += title + name + (s.paths[i].empty() ? "-" : s.paths[i]) + "\n";
    }
    return out;
}

std::vector<std::string> describeChanges(const BlockSnapshot& before, const BlockSnapshot& after,
                                         bool includePositions)
{
    std::vector<std::string> lines;
    const auto& fields = wordFields();
    for (size_t i = 0; i < fields.size() && i < before.words.size() && i < after.words.size(); ++i) {
        if (before.words[i] == after.words[i])
            continue;
        if (fields[i].kind == FieldKind::Position && !includePositions)
            continue;
        lines.push_back(std::string(fields[i].name) + " " + formatField(fields[i], before.words[i]) + " -> " +
                        formatField(fields[i], after.words[i]));
    }
    if (before.dtmfKey != after.dtmfKey)
        lines.push_back("dtmfKey " + keyText(before.dtmfKey) + " -> " + keyText(after.dtmfKey));
    if (before.remoteCode != after.remoteCode)
        lines.push_back("remoteCode \"" + before.remoteCode + "\" -> \"" + after.remoteCode + "\"");
    static const char* pathNames[] = {"ingoingPath", "outgoingPath", "messagePath", "responsePath"};
    for (size_t i = 0; i < 4; ++i)
        if (before.paths[i] != after.paths[i])
            lines.push_back(std::string(pathNames[i]) + " \"" + after.paths[i] + "\"");
    return lines;
}

} // namespace callctl
