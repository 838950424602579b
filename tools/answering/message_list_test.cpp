#include "message_list.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <json/json.h>
#include <memory>
#include <sstream>

namespace callctl {
namespace {

class MessageList : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* tz = getenv("TZ");
        savedTz_ = tz ? tz : "";
        hadTz_ = tz != nullptr;
        setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1); // no tz database needed
        tzset();
    }
    void TearDown() override
    {
        if (hadTz_)
            setenv("TZ", savedTz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static Message message(MessageState state, const std::string& caller, int64_t start, uint64_t samples, bool heard)
    {
        Message m;
        m.state = state;
        m.stem = "stem";
        m.audioPath = "/box/new/stem.ul";
        m.metaPath = "/box/new/stem.json";
        m.meta.caller = caller;
        m.meta.start = start;
        m.meta.durationSamples = samples;
        m.meta.heard = heard;
        m.meta.touchtones = "1#";
        m.meta.endReason = "silence";
        return m;
    }
    std::string savedTz_;
    bool hadTz_ = false;
};

TEST_F(MessageList, TextShowsLocalTimeStateAndLengthWithinEightyColumns)
{
    std::vector<Message> messages = {
        message(MessageState::New, "\"Alice\" <sip:alice@127.0.0.1:5062>", 1796778123, 8000 * 12, false),
        message(MessageState::New, "sip:" + std::string(80, 'b') + "@h", 1796778123 + 3600, 100, true),
        message(MessageState::Saved, "sip:\x1b[2Jcarol@h", 1796778123 + 7200, 8000 * 65, false),
    };
    std::string text = messageListText(messages);
    std::istringstream lines(text);
    std::vector<std::string> rows;
    for (std::string row; std::getline(lines, row);)
        rows.push_back(row);
    ASSERT_EQ(rows.size(), 4u) << text;
    for (const std::string& row : rows)
        EXPECT_LE(row.size(), 80u) << row;
    // 01:02 UTC is 02:02 in Berlin in December.
    EXPECT_NE(rows[1].find("  1  new    2026-12-09 02:02  sip:alice@127.0.0.1:5062"), std::string::npos) << rows[1];
    EXPECT_NE(rows[1].find("0:12"), std::string::npos);
    EXPECT_NE(rows[2].find("  2  heard  2026-12-09 03:02  sip:bbb"), std::string::npos) << rows[2];
    EXPECT_NE(rows[2].find("...  "), std::string::npos) << "a long caller is cut";
    EXPECT_NE(rows[3].find("  3  saved"), std::string::npos) << rows[3];
    EXPECT_NE(rows[3].find("1:05"), std::string::npos);
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << "a caller's URI carries no terminal codes to the screen";
    EXPECT_EQ(messageListText({}), "no messages\n");
}

TEST_F(MessageList, JsonHoldsWhatScriptsNeed)
{
    std::vector<Message> messages = {message(MessageState::New, "sip:alice@h", 1796778123, 8000 * 3 + 4000, true),
                                     message(MessageState::Saved, "sip:bob@h", 1796778124, 0, false)};
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string text = messageListJson(messages), error;
    Json::Value v;
    ASSERT_TRUE(reader->parse(text.data(), text.data() + text.size(), &v, &error)) << error;
    ASSERT_TRUE(v.isArray());
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0]["number"].asInt(), 1);
    EXPECT_EQ(v[0]["state"].asString(), "new");
    EXPECT_TRUE(v[0]["heard"].asBool());
    EXPECT_EQ(v[0]["start"].asString(), "2026-12-09T01:02:03Z") << "scripts get UTC";
    EXPECT_EQ(v[0]["caller"].asString(), "sip:alice@h");
    EXPECT_EQ(v[0]["durationSamples"].asUInt64(), 28000u);
    EXPECT_DOUBLE_EQ(v[0]["durationSeconds"].asDouble(), 3.5);
    EXPECT_EQ(v[0]["audio"].asString(), "/box/new/stem.ul");
    EXPECT_EQ(v[1]["number"].asInt(), 2);
    EXPECT_EQ(v[1]["state"].asString(), "saved");
    EXPECT_EQ(messageListJson({}), "[]\n");
}

} // namespace
} // namespace callctl
