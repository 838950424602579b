#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "scratch_dir.h"
#include "whole_file.h"

namespace {

bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

TEST(ScratchDir, GoesWithEverythingInItButNotWhatALinkPointsTo)
{
    kit::ScratchDir outside;
    ASSERT_TRUE(kit::writeText(outside / "kept", "kept"));
    std::string path;
    {
        kit::ScratchDir dir;
        path = dir.path();
        ASSERT_FALSE(path.empty());
        ASSERT_EQ(mkdir((dir / "sub").c_str(), 0700), 0);
        ASSERT_TRUE(kit::writeText(dir / "sub/file", "x"));
        ASSERT_EQ(symlink(outside.path().c_str(), (dir / "link").c_str()), 0);
        EXPECT_NE(kit::ScratchDir().path(), path) << "each one is its own";
    }
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(kit::readText(outside / "kept"), "kept");
}

TEST(WholeFile, ReadsBackWhatWasWrittenAndNothingFromAMissingFile)
{
    kit::ScratchDir dir;
    std::vector<uint8_t> bytes(200000);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(kit::writeFile(dir / "a", bytes));
    EXPECT_EQ(kit::readFile(dir / "a"), bytes);
    ASSERT_TRUE(kit::writeFile(dir / "a", {}));
    EXPECT_TRUE(exists(dir / "a"));
    EXPECT_TRUE(kit::readFile(dir / "a").empty()) << "writing truncates";
    EXPECT_TRUE(kit::readFile(dir / "missing").empty());
    EXPECT_FALSE(kit::writeFile(dir / "no/such/folder", bytes));
    EXPECT_FALSE(kit::writeText("/dev/full", "x")) << "a failed write is reported";
}

} // namespace
