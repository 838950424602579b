#include "options.h"

#include <gtest/gtest.h>

#include "agent.h"

using namespace sipline;

namespace {

bool parse(std::vector<std::string> args, Options& o, std::string& error)
{
    o = Options();
    return parseOptions(args, o, error);
}

} // namespace

TEST(Options, ReadsEveryOption)
{
    Options o;
    std::string error;
    ASSERT_TRUE(parse({"--sip", "127.0.0.1:5070", "--rtp-ports", "30000-30099", "--codecs", "pcma,PCMU", "--jitter",
                       "60", "--rtp-timeout", "0", "--max-seconds", "90", "--calls", "3", "--verbose", "--impair-rx",
                       "2.5%,30", "--exec", "cat", "--pty", "call", "sip:far@127.0.0.1"},
                      o, error))
        << error;
    EXPECT_EQ(o.mode, Mode::Call);
    EXPECT_EQ(o.target, "sip:far@127.0.0.1");
    EXPECT_EQ(o.sip, "127.0.0.1:5070");
    EXPECT_EQ(o.rtpLow, 30000);
    EXPECT_EQ(o.rtpHigh, 30099);
    EXPECT_EQ(o.codecs, (std::vector<std::string>{"PCMA", "PCMU"}));
    EXPECT_EQ(o.jitterMs, 60u);
    EXPECT_EQ(o.rtpTimeoutS, 0u);
    EXPECT_EQ(o.maxSeconds, 90u);
    EXPECT_EQ(o.calls, 3u);
    EXPECT_TRUE(o.verbose);
    EXPECT_TRUE(o.impair);
    EXPECT_DOUBLE_EQ(o.lossPercent, 2.5);
    EXPECT_EQ(o.maxDelayMs, 30u);
    EXPECT_TRUE(o.pty);
}

TEST(Options, HelpNeedsNothingElse)
{
    for (std::vector<std::string> args : {std::vector<std::string>{"--help"}, {"--jitter", "60", "-h", "bogus"}}) {
        Options o;
        std::string error;
        EXPECT_TRUE(parse(args, o, error)) << error;
        EXPECT_TRUE(o.help);
    }
}

TEST(Options, RefusesWhatCannotWork)
{
    Options o;
    std::string error;
    const std::vector<std::vector<std::string>> bad = {
        {},                                                  // no command
        {"--link", "/tmp/l"},                                // no command
        {"answer"},                                          // no line
        {"--link", "/tmp/l", "--exec", "cat", "answer"},     // two lines
        {"--link", "/tmp/l", "--pty", "answer"},             // --pty without --exec
        {"--link", "/tmp/l", "call"},                        // no URI
        {"--link", "/tmp/l", "--jitter", "-5", "answer"},    // sign
        {"--link", "/tmp/l", "--jitter", "40ms", "answer"},  // junk
        {"--link", "/tmp/l", "--codecs", "g722", "answer"},  // no such codec
        {"--link", "/tmp/l", "--codecs", "pcmu,pcmu", "answer"},
        {"--link", "/tmp/l", "--rtp-ports", "5000-5000", "answer"}, // no room for RTCP
        {"--link", "/tmp/l", "--impair-rx", "120,10", "answer"},
        {"--link", "/tmp/l", "--impair-rx", "10", "answer"},
        {"--link", "/tmp/l", "--register", "sip:r", "answer"}, // no user or password file
        {"--link", "/tmp/l", "answer", "extra"},
        {"--link", "/tmp/l", "--calls"},
        {"--lines", "0", "--exec", "cat", "serve"},
    };
    for (const auto& args : bad) {
        std::string joined;
        for (const auto& a : args)
            joined += a + " ";
        EXPECT_FALSE(parse(args, o, error)) << joined;
        EXPECT_FALSE(error.empty()) << joined;
    }
}

TEST(LineConfig, ReadsLinesAndRefusesDuplicates)
{
    std::vector<LineConfig> lines;
    std::string error;
    ASSERT_TRUE(parseLineConfig("# office lines\n"
                                "front 100 link /run/sipline/front\n"
                                "\n"
                                "back 200 exec callctl answer --line fd:$SIPLINE_FD  # answering machine\n"
                                "fax 300 exec-pty faxapp $SIPLINE_TTY\n",
                                lines, error))
        << error;
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].name, "front");
    EXPECT_EQ(lines[0].user, "100");
    EXPECT_EQ(lines[0].link, "/run/sipline/front");
    EXPECT_EQ(lines[1].exec, "callctl answer --line fd:$SIPLINE_FD");
    EXPECT_FALSE(lines[1].pty);
    EXPECT_TRUE(lines[2].pty);

    lines.clear();
    std::string withOptions = "--sip 0.0.0.0:5062  # a second instance\n--verbose\na 100 exec callctl answer --line fd:$SIPLINE_FD\n";
    ASSERT_TRUE(parseLineConfig(withOptions, lines, error)) << error;
    EXPECT_EQ(lines.size(), 1u);
    EXPECT_EQ(configOptions(withOptions), (std::vector<std::string>{"--sip", "0.0.0.0:5062", "--verbose"}));

    lines.clear();
    EXPECT_FALSE(parseLineConfig("a 100 link /x\nb 100 link /y\n", lines, error));
    lines.clear();
    EXPECT_FALSE(parseLineConfig("a 100 dial /x\n", lines, error));
    lines.clear();
    EXPECT_FALSE(parseLineConfig("a 100 link\n", lines, error));
    lines.clear();
    EXPECT_FALSE(parseLineConfig("# nothing\n", lines, error));
}
