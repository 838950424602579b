#include "status_line.h"

#include <gtest/gtest.h>

namespace callctl {
namespace {

TEST(StatusLine, ShowsWhatMattersAndFitsTheWidth)
{
    StatusInfo s;
    s.elapsed = 12.34;
    s.phase = "call";
    s.position = 8000 * 65;
    s.length = 8000 * 70;
    s.taping = true;
    s.hold = true;
    s.touchtones = "*1234#";
    s.remoteCode = "1234";
    s.lastEvent = "Orvex ttyI2Audio daemon: Touchtone '#'";
    EXPECT_EQ(formatStatus(s, 200),
              " 12.3s call     tape 01:05/01:10 REC HOLD keys *1234# code 1234 | Orvex ttyI2Audio daemon: Touchtone '#'");
    EXPECT_EQ(formatStatus(s, 40).size(), 40u);
    // Only the newest keys are shown once there are many.
    s.touchtones = "0123456789*#0123456789";
    EXPECT_NE(formatStatus(s, 200).find("keys *#0123456789 "), std::string::npos);
    StatusInfo idle;
    idle.error = true;
    idle.tapeFull = true;
    EXPECT_EQ(formatStatus(idle), "  0.0s          tape 00:00/00:00 --- FULL ERROR");
}

TEST(StatusLine, NeverReachesTheTerminalsLastColumn)
{
    StatusInfo s;
    s.phase = "answer";
    s.progress = "recording caller 00:03 of 00:08";
    s.lastEvent = "Stimme \xc3\xbc\xc3\xa4\xc3\xb6 and a long tail of words that goes on";
    EXPECT_EQ(formatStatus(s, 200).rfind("  0.0s recording caller 00:03 of 00:08 | Stimme", 0), 0u);
    for (int columns : {60, 45, 40}) {
        std::string line = formatStatus(s, statusWidth(columns));
        size_t shown = 0;
        for (unsigned char c : line)
            shown += (c & 0xC0) != 0x80;
        EXPECT_EQ(shown, static_cast<size_t>(columns - 1)) << columns;
        // A character is never cut in half.
        EXPECT_NE(static_cast<unsigned char>(line.back()) & 0xC0, 0xC0) << columns;
    }
    EXPECT_EQ(statusWidth(0), 79u); // no terminal size known
}

} // namespace
} // namespace callctl
