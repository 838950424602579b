#include "phrases.h"

#include <gtest/gtest.h>

namespace callctl {
namespace {

std::tm at(int year, int month, int day, int hour, int minute)
{
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    time_t seconds = timegm(&t); // fills in the weekday
    gmtime_r(&seconds, &t);
    return t;
}

TEST(Phrases, CountsAreSingularOrPluralAndNoneIsSaid)
{
    EXPECT_EQ(countPhrase(2, 1), "You have 2 new messages and 1 saved message.");
    EXPECT_EQ(countPhrase(1, 2), "You have 1 new message and 2 saved messages.");
    EXPECT_EQ(countPhrase(0, 0), "You have no new messages and no saved messages.");
    EXPECT_EQ(countPhrase(11, 0), "You have 11 new messages and no saved messages.");
}

TEST(Phrases, TimesAreSaidTheWayPeopleSayThem)
{
    EXPECT_EQ(spokenTime(at(2026, 12, 9, 2, 5)), "2:05 AM");
    EXPECT_EQ(spokenTime(at(2026, 12, 9, 14, 0)), "2 PM");
    EXPECT_EQ(spokenTime(at(2026, 12, 9, 12, 0)), "12 noon");
    EXPECT_EQ(spokenTime(at(2026, 12, 9, 12, 30)), "12:30 PM");
    EXPECT_EQ(spokenTime(at(2026, 12, 9, 0, 0)), "midnight");
    EXPECT_EQ(spokenTime(at(2026, 12, 9, 0, 15)), "12:15 AM");
}

TEST(Phrases, IntroSaysTodayYesterdayOrTheDate)
{
    std::tm now = at(2026, 12, 9, 10, 0);
    EXPECT_EQ(messageIntro(1, at(2026, 12, 9, 2, 5), now), "Message 1, received today at 2:05 AM.");
    EXPECT_EQ(messageIntro(2, at(2026, 12, 8, 23, 59), now), "Message 2, received yesterday at 11:59 PM.");
    EXPECT_EQ(messageIntro(3, at(2026, 12, 1, 9, 30), now), "Message 3, received on Tuesday, December 1, at 9:30 AM.");
    EXPECT_EQ(messageIntro(4, at(2025, 12, 31, 18, 0), now),
              "Message 4, received on Wednesday, December 31, 2025, at 6 PM.");
    // Across a month's and a year's end, "yesterday" still holds.
    EXPECT_EQ(messageIntro(1, at(2026, 12, 31, 20, 0), at(2027, 1, 1, 8, 0)),
              "Message 1, received yesterday at 8 PM.");
}

} // namespace
} // namespace callctl
