#include "command_line.h"

#include <gtest/gtest.h>

namespace callctl {
namespace {

const std::vector<OptionRule> rules = {{"--chunk", true}, {"--watch", false}, {"--out", true}};

TEST(ScanArguments, SplitsOptionsValuesAndWords)
{
    ScannedArgs a;
    std::string error;
    ASSERT_TRUE(scanArguments({"12", "--chunk", "160", "--watch", "--out=dir x", "--", "--chunk"}, rules, &a, &error));
    EXPECT_EQ(a.values["--chunk"], "160");
    EXPECT_EQ(a.values["--out"], "dir x");
    EXPECT_TRUE(has(a, "--watch"));
    EXPECT_EQ(a.positional, (std::vector<std::string>{"12", "--chunk"}));
    EXPECT_FALSE(a.help);
    // A lone "-" is a word (standard input or output by habit), not an option.
    ScannedArgs b;
    ASSERT_TRUE(scanArguments({"-", "-h"}, rules, &b, &error));
    EXPECT_EQ(b.positional, std::vector<std::string>{"-"});
    EXPECT_TRUE(b.help);
}

TEST(ScanArguments, NamesTheOffendingOption)
{
    std::string error;
    ScannedArgs a;
    EXPECT_FALSE(scanArguments({"--chnk", "1"}, rules, &a, &error));
    EXPECT_EQ(error, "unknown option '--chnk'");
    EXPECT_FALSE(scanArguments({"--chunk"}, rules, &a, &error));
    EXPECT_EQ(error, "option '--chunk' needs a value");
    EXPECT_FALSE(scanArguments({"--watch=yes"}, rules, &a, &error));
    EXPECT_EQ(error, "option '--watch' takes no value");
}

TEST(ParseNumbers, AcceptOnlyWholeValuesInRange)
{
    long v = 0;
    std::string error;
    EXPECT_TRUE(parseNumber("--chunk", "65536", 1, 65536, &v, &error));
    EXPECT_EQ(v, 65536);
    for (const char* bad : {"0", "65537", "12x", "", " 5", "99999999999999999999"}) {
        EXPECT_FALSE(parseNumber("--chunk", bad, 1, 65536, &v, &error)) << bad;
        EXPECT_EQ(error, std::string("--chunk: '") + bad + "' is not a whole number from 1 to 65536");
    }
    double s = 0;
    EXPECT_TRUE(parseSeconds("--seconds", "2.5", 0, 60, &s, &error));
    EXPECT_DOUBLE_EQ(s, 2.5);
    EXPECT_FALSE(parseSeconds("--seconds", "nan", 0, 60, &s, &error));
    EXPECT_FALSE(parseSeconds("--seconds", "61", 0, 60, &s, &error));
    EXPECT_EQ(error, "--seconds: '61' is not a number of seconds from 0 to 60");
}

} // namespace
} // namespace callctl
