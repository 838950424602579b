#include "message_record.h"

#include <gtest/gtest.h>

namespace callctl {
namespace {

TEST(FileSafeCaller, KeepsWhoCalledAndNothingThatCouldEscapeTheFolder)
{
    EXPECT_EQ(fileSafeCaller("sip:alice@127.0.0.1:5060"), "alice");
    EXPECT_EQ(fileSafeCaller("\"Alice\" <sip:alice@example.org;transport=udp>"), "alice");
    EXPECT_EQ(fileSafeCaller("SIP:Bob.Smith@host"), "Bob.Smith");
    EXPECT_EQ(fileSafeCaller("sips:+4930123456@gw;user=phone"), "+4930123456");
    EXPECT_EQ(fileSafeCaller("tel:+1-555-0100"), "+1-555-0100");
    EXPECT_EQ(fileSafeCaller("sip:127.0.0.1:5062"), "127.0.0.1");
    EXPECT_EQ(fileSafeCaller("sip:../../etc/passwd@host"), "_._.._etc_passwd");
    EXPECT_EQ(fileSafeCaller("sip:..@host"), "unknown");
    EXPECT_EQ(fileSafeCaller(".hidden"), "_hidden");
    EXPECT_EQ(fileSafeCaller("a b\tc\n\x01/\\"), "a_b_c____");
    EXPECT_EQ(fileSafeCaller(""), "unknown");
    EXPECT_EQ(fileSafeCaller("sip:@host"), "host");
    EXPECT_EQ(fileSafeCaller("anonymous"), "anonymous");
    std::string longName = "sip:" + std::string(100, 'x') + "@h";
    EXPECT_EQ(fileSafeCaller(longName), std::string(40, 'x'));
    // Bytes of other scripts are not letters of the C locale: replaced,
    // never passed into a name half-encoded.
    EXPECT_EQ(fileSafeCaller("sip:j\xc3\xb6rg@h"), "j__rg");
}

TEST(MessageStem, UtcDateTimeThenCaller)
{
    // 2026-12-09 01:02:03 UTC
    EXPECT_EQ(messageStem(1796778123, "sip:alice@h"), "20261209-010203-alice");
    EXPECT_EQ(messageStem(0, ""), "19700101-000000-unknown");
}

TEST(UtcText, RoundTripsAndRejectsWhatIsNotATime)
{
    int64_t t = 0;
    EXPECT_EQ(utcText(1796778123), "2026-12-09T01:02:03Z");
    ASSERT_TRUE(parseUtcText("2026-12-09T01:02:03Z", &t));
    EXPECT_EQ(t, 1796778123);
    EXPECT_FALSE(parseUtcText("2026-12-09T01:02:03", &t));
    EXPECT_FALSE(parseUtcText("2026-12-09T01:02:03Zjunk", &t));
    EXPECT_FALSE(parseUtcText("2026-13-09T01:02:03Z", &t));
    EXPECT_FALSE(parseUtcText("", &t));
}

TEST(MessageMetaJson, RoundTripsEveryField)
{
    MessageMeta m;
    m.caller = "sip:alice@127.0.0.1:5062";
    m.called = "sip:box@127.0.0.1";
    m.start = 1796778123;
    m.durationSamples = 123457;
    m.touchtones = "12*#";
    m.endReason = "silence";
    m.heard = true;
    m.deleted = 1796778999;
    std::string text = metaToJson(m);
    EXPECT_NE(text.find("\"start\" : \"2026-12-09T01:02:03Z\""), std::string::npos) << text;
    MessageMeta back;
    std::string error;
    ASSERT_TRUE(metaFromJson(text, &back, &error)) << error;
    EXPECT_EQ(back.caller, m.caller);
    EXPECT_EQ(back.called, m.called);
    EXPECT_EQ(back.start, m.start);
    EXPECT_EQ(back.durationSamples, m.durationSamples);
    EXPECT_EQ(back.touchtones, m.touchtones);
    EXPECT_EQ(back.endReason, m.endReason);
    EXPECT_TRUE(back.heard);
    EXPECT_EQ(back.deleted, m.deleted);

    m.deleted = 0;
    EXPECT_EQ(metaToJson(m).find("deleted"), std::string::npos);
}

TEST(MessageMetaJson, EditedOrBrokenRecordsAreReadWithoutTrustingThem)
{
    MessageMeta m;
    std::string error;
    EXPECT_FALSE(metaFromJson("", &m, &error));
    EXPECT_FALSE(metaFromJson("{\"caller\": ", &m, &error));
    EXPECT_FALSE(metaFromJson("[1,2]", &m, &error));
    EXPECT_FALSE(metaFromJson("{\"caller\":\"x\"}", &m, &error)) << "a record without a start time";
    // Wrong types are taken as missing, not as a crash.
    ASSERT_TRUE(metaFromJson("{\"start\":\"2026-12-09T01:02:03Z\",\"caller\":7,\"durationSamples\":\"x\","
                             "\"heard\":\"yes\",\"deleted\":3}",
                             &m, &error))
        << error;
    EXPECT_EQ(m.caller, "");
    EXPECT_EQ(m.durationSamples, 0u);
    EXPECT_FALSE(m.heard);
    EXPECT_EQ(m.deleted, 0);
}

TEST(DurationText, RoundsToTheSecond)
{
    EXPECT_EQ(durationText(0), "0:00");
    EXPECT_EQ(durationText(3999), "0:00");
    EXPECT_EQ(durationText(4000), "0:01");
    EXPECT_EQ(durationText(8000 * 65), "1:05");
    EXPECT_EQ(durationText(8000ull * 3725), "1:02:05");
}

} // namespace
} // namespace callctl
