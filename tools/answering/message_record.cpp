#include "message_record.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <json/json.h>
#include <memory>

namespace callctl {

namespace {

bool startsWithNoCase(const std::string& s, const std::string& prefix)
{
    if (s.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i])
            return false;
    return true;
}

bool fileSafeChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '.' || c == '-' || c == '_';
}

// A URI as sipline hands it over may carry a display name and brackets
// ("Alice <sip:alice@host>"); what sits inside the brackets is the URI.
std::string bareUri(const std::string& uri)
{
    size_t open = uri.find('<');
    if (open == std::string::npos)
        return uri;
    size_t close = uri.find('>', open);
    return uri.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
}

} // namespace

std::string fileSafeCaller(const std::string& uri)
{
    std::string s = bareUri(uri);
    for (const char* scheme : {"sips:", "sip:", "tel:"})
        if (startsWithNoCase(s, scheme)) {
            s.erase(0, std::string(scheme).size());
            break;
        }
    // URI parameters and headers say nothing about who called.
    s = s.substr(0, s.find_first_of(";?"));
    size_t at = s.find('@');
    if (at != std::string::npos && at > 0)
        s = s.substr(0, at);
    else if (at != std::string::npos)
        s = s.substr(at + 1);
    if (at == std::string::npos || at == 0) {
        // A host alone: its port is no part of the caller's name.
        size_t colon = s.rfind(':');
        if (colon != std::string::npos && s.find(']') == std::string::npos && s.find(':') == colon)
            s = s.substr(0, colon);
    }
    std::string out;
    for (char c : s) {
        if (out.size() == 40)
            break;
        out += fileSafeChar(c) ? c : '_';
    }
    if (!out.empty() && out[0] == '.')
        out[0] = '_'; // a leading dot would hide the file, and ".." is a folder
    bool meaningful = false;
    for (char c : out)
        meaningful = meaningful || std::isalnum(static_cast<unsigned char>(c));
    return meaningful ? out : "unknown";
}

std::string messageStem(int64_t startUtc, const std::string& caller)
{
    time_t t = static_cast<time_t>(startUtc);
    struct tm tm{};
    gmtime_r(&t, &tm);
    char when[32];
    strftime(when, sizeof when, "%Y%m%d-%H%M%S", &tm);
    return std::string(when) + "-" + fileSafeCaller(caller);
}

std::string utcText(int64_t seconds)
{
    time_t t = static_cast<time_t>(seconds);
    struct tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

bool parseUtcText(const std::string& text, int64_t* seconds)
{
    struct tm tm{};
    int consumed = 0;
    if (sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
               &tm.tm_min, &tm.tm_sec, &consumed) != 6 ||
        consumed != static_cast<int>(text.size()))
        return false;
    if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 60)
        return false;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    *seconds = static_cast<int64_t>(timegm(&tm));
    return true;
}

std::string metaToJson(const MessageMeta& meta)
{
    Json::Value v(Json::objectValue);
    v["caller"] = meta.caller;
    v["called"] = meta.called;
    v["start"] = utcText(meta.start);
    v["durationSamples"] = Json::UInt64(meta.durationSamples);
    v["durationSeconds"] = static_cast<double>(meta.durationSamples) / messageRate;
    v["touchtones"] = meta.touchtones;
    v["endReason"] = meta.endReason;
    v["heard"] = meta.heard;
    if (meta.deleted != 0)
        v["deleted"] = utcText(meta.deleted);
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    return Json::writeString(builder, v) + "\n";
}

bool metaFromJson(const std::string& text, MessageMeta* meta, std::string* error)
{
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value v;
    std::string parseError;
    if (!reader->parse(text.data(), text.data() + text.size(), &v, &parseError)) {
        *error = "not JSON: " + parseError;
        return false;
    }
    if (!v.isObject()) {
        *error = "not a JSON object";
        return false;
    }
    // Read without trusting the types: a person may have edited the file.
    auto text_ = [&](const char* key) { return v[key].isString() ? v[key].asString() : std::string(); };
    MessageMeta m;
    m.caller = text_("caller");
    m.called = text_("called");
    if (!parseUtcText(text_("start"), &m.start)) {
        *error = "no start time";
        return false;
    }
    if (v["durationSamples"].isUInt64())
        m.durationSamples = v["durationSamples"].asUInt64();
    m.touchtones = text_("touchtones");
    m.endReason = text_("endReason");
    m.heard = v["heard"].isBool() && v["heard"].asBool();
    if (v.isMember("deleted") && !parseUtcText(text_("deleted"), &m.deleted))
        m.deleted = 0;
    *meta = m;
    return true;
}

std::string durationText(uint64_t samples)
{
    uint64_t seconds = (samples + messageRate / 2) / messageRate;
    char text[32];
    if (seconds >= 3600)
        snprintf(text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(seconds / 3600),
                 static_cast<unsigned long long>(seconds / 60 % 60), static_cast<unsigned long long>(seconds % 60));
    else
        snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                 static_cast<unsigned long long>(seconds % 60));
    return text;
}

} // namespace callctl
