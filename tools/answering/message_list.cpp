#include "message_list.h"

#include <cstdio>
#include <ctime>
#include <json/json.h>

namespace callctl {

namespace {

// The caller column: the URI without a display name or brackets, cut with
// an ellipsis mark so that a line never wraps on 80 columns.
std::string callerColumn(const std::string& uri, size_t width)
{
    std::string s = uri;
    size_t open = s.find('<');
    if (open != std::string::npos)
        s = s.substr(open + 1, s.find('>', open) - open - 1);
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?'; // a caller's URI must not move the terminal's cursor
    if (s.empty())
        s = "unknown";
    if (s.size() > width)
        s = s.substr(0, width - 3) + "...";
    return s;
}

} // namespace

std::string localTimeText(int64_t seconds)
{
    time_t t = static_cast<time_t>(seconds);
    struct tm tm{};
    localtime_r(&t, &tm);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M", &tm);
    return text;
}

std::string messageListText(const std::vector<Message>& messages)
{
    if (messages.empty())
        return "no messages\n";
    constexpr size_t callerWidth = 40;
    std::string out;
    char line[160];
    snprintf(line, sizeof line, "%3s  %-5s  %-16s  %-*s  %7s\n", "#", "state", "received", static_cast<int>(callerWidth),
             "caller", "length");
    out += line;
    for (size_t i = 0; i < messages.size(); ++i) {
        const Message& m = messages[i];
        const char* state = m.state == MessageState::New && m.meta.heard ? "heard" : stateName(m.state);
        snprintf(line, sizeof line, "%3zu  %-5s  %-16s  %-*s  %7s\n", i + 1, state, localTimeText(m.meta.start).c_str(),
                 static_cast<int>(callerWidth), callerColumn(m.meta.caller, callerWidth).c_str(),
                 durationText(m.meta.durationSamples).c_str());
        out += line;
    }
    return out;
}

std::string messageListJson(const std::vector<Message>& messages)
{
    Json::Value list(Json::arrayValue);
    for (size_t i = 0; i < messages.size(); ++i) {
        const Message& m = messages[i];
        Json::Value v(Json::objectValue);
        v["number"] = Json::UInt64(i + 1);
        v["state"] = stateName(m.state);
        v["heard"] = m.meta.heard;
        v["start"] = utcText(m.meta.start);
        v["caller"] = m.meta.caller;
        v["called"] = m.meta.called;
        v["durationSamples"] = Json::UInt64(m.meta.durationSamples);
        v["durationSeconds"] = static_cast<double>(m.meta.durationSamples) / messageRate;
        v["touchtones"] = m.meta.touchtones;
        v["endReason"] = m.meta.endReason;
        v["audio"] = m.audioPath;
        v["record"] = m.metaPath;
        list.append(v);
    }
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    return Json::writeString(builder, list) + "\n";
}

} // namespace callctl
