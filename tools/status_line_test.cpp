#include "status_line.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

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

// Everything written to `f` so far.
std::string contents(FILE* f)
{
    fflush(f);
    rewind(f);
    std::string out;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;)
        out.append(buffer, n);
    return out;
}

// The status is redrawn by the watcher thread while the command's thread
// prints; a printed line must start where the terminal's line does, never
// on the end of a status.
TEST(LiveLine, APrintedLineNeverLandsOnTheEndOfAStatus)
{
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    {
        LiveLine live(f);
        live.enable(true);
        std::atomic<bool> printing{true};
        std::thread drawer([&] {
            for (int i = 0; printing; ++i)
                live.draw("status " + std::to_string(i));
        });
        for (int i = 0; i < 20000; ++i)
            live.print("line " + std::to_string(i));
        printing = false;
        drawer.join();
        live.draw("last");
        live.enable(false);
    }
    std::string out = contents(f);
    fclose(f);
    size_t lines = 0;
    for (size_t at = 0; (at = out.find("line ", at)) != std::string::npos; at += 5, ++lines) {
        bool atStart = at == 0 || out[at - 1] == '\n' || out.compare(at - 4, 4, "\r\x1b[K") == 0;
        ASSERT_TRUE(atStart) << out.substr(at < 80 ? 0 : at - 80, 120);
    }
    EXPECT_EQ(lines, 20000u);
    // Turned off, the last status is wiped.
    EXPECT_EQ(out.substr(out.size() - 12), "\rlast\x1b[K\r\x1b[K") << out.substr(out.size() - 80);
}

TEST(LiveLine, DrawsNothingWhileOff)
{
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    LiveLine live(f);
    live.draw("unseen");
    live.print("said");
    live.enable(true);
    live.draw("shown");
    live.print("said again");
    EXPECT_EQ(contents(f), "said\n\rshown\x1b[K\r\x1b[Ksaid again\n");
    fclose(f);
}

} // namespace
} // namespace callctl
