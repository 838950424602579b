#include "transcript.h"

#include <fstream>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace callctl {
namespace {

TEST(Transcript, KeepsTimeOrderAcrossThreadsAndWritesOneLineEach)
{
    Transcript t;
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w)
        writers.emplace_back([&t, w] {
            for (int i = 0; i < 200; ++i)
                t.add("writer" + std::to_string(w), "line " + std::to_string(i));
        });
    for (auto& w : writers)
        w.join();
    std::vector<Transcript::Entry> entries = t.entries();
    ASSERT_EQ(entries.size(), 800u);
    for (size_t i = 1; i < entries.size(); ++i)
        ASSERT_LE(entries[i - 1].seconds, entries[i].seconds);

    EXPECT_EQ(Transcript::format({1.5, "callctl", "taping on"}), "[   1.500] callctl            taping on");
    char path[] = "/tmp/callctl-transcript-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::string error;
    ASSERT_TRUE(t.write(path, &error)) << error;
    std::ifstream in(path);
    size_t lines = 0;
    for (std::string line; std::getline(in, line);)
        lines += line.find("] writer") == 9;
    EXPECT_EQ(lines, 800u);
    unlink(path);
    EXPECT_FALSE(t.write("/nonexistent-dir/t.txt", &error));
    EXPECT_NE(error.find("/nonexistent-dir/t.txt"), std::string::npos);
}

} // namespace
} // namespace callctl
