#include "phrases.h"

#include <cstdio>

namespace callctl {

namespace {

std::string counted(size_t n, const char* kind)
{
    if (n == 0)
        return std::string("no ") + kind + " messages";
    return std::to_string(n) + " " + kind + (n == 1 ? " message" : " messages");
}

const char* const weekdays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
const char* const months[] = {"January", "February", "March",     "April",   "May",      "June",
                              "July",    "August",   "September", "October", "November", "December"};

// Days from the civil date to 1970-01-01, for "today" and "yesterday"
// without asking the time zone again.
long dayNumber(const std::tm& t)
{
    long y = t.tm_year + 1900L - (t.tm_mon < 2);
    long era = (y >= 0 ? y : y - 399) / 400;
    long yoe = y - era * 400;
    long m = t.tm_mon + 1;
    long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + t.tm_mday - 1;
    long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

} // namespace

std::string countPhrase(size_t newCount, size_t savedCount)
{
    return "You have " + counted(newCount, "new") + " and " + counted(savedCount, "saved") + ".";
}

std::string spokenTime(const std::tm& t)
{
    if (t.tm_min == 0 && t.tm_hour == 0)
        return "midnight";
    if (t.tm_min == 0 && t.tm_hour == 12)
        return "12 noon";
    int hour = t.tm_hour % 12 == 0 ? 12 : t.tm_hour % 12;
    const char* half = t.tm_hour < 12 ? "AM" : "PM";
    char text[32];
    if (t.tm_min == 0)
        snprintf(text, sizeof text, "%d %s", hour, half);
    else
        snprintf(text, sizeof text, "%d:%02d %s", hour, t.tm_min, half);
    return text;
}

std::string messageIntro(size_t number, const std::tm& received, const std::tm& now)
{
    std::string when;
    long days = dayNumber(now) - dayNumber(received);
    if (days == 0)
        when = "today";
    else if (days == 1)
        when = "yesterday";
    else if (received.tm_wday >= 0 && received.tm_wday < 7 && received.tm_mon >= 0 && received.tm_mon < 12) {
        when = std::string("on ") + weekdays[received.tm_wday] + ", " + months[received.tm_mon] + " " +
               std::to_string(received.tm_mday);
        if (received.tm_year != now.tm_year)
            when += ", " + std::to_string(received.tm_year + 1900);
        when += ",";
    }
    return "Message " + std::to_string(number) + ", received " + when + " at " + spokenTime(received) + ".";
}

} // namespace callctl
