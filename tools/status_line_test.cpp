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

} // namespace
} // namespace callctl
