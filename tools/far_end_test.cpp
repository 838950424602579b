#include "far_end.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace callctl {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::vector<uint8_t> constant(size_t n)
{
    return std::vector<uint8_t>(n, 0x10); // every byte a DLE: all doubled on the line
}

TEST(FarEnd, OwnLineTakesTheDaemonsOutputAtLinePace)
{
    FarEnd far(constant);
    far.talk(false);
    int fd = far.daemonFd();
    far.start();
    // A second of audio with DLE doubling, as the answer-mode writer sends it.
    std::vector<uint8_t> second;
    for (int i = 0; i < 8000; ++i) {
        second.push_back(i % 100 == 0 ? 0x10 : 0x55);
        if (second.back() == 0x10)
            second.push_back(0x10);
    }
    auto start = Clock::now();
    size_t done = 0;
    while (done < second.size()) {
        ssize_t n = write(fd, second.data() + done, std::min<size_t>(320, second.size() - done));
        ASSERT_GT(n, 0);
        done += static_cast<size_t>(n);
    }
    double took = std::chrono::duration<double>(Clock::now() - start).count();
    // The line's buffer holds a little; the rest waits for 160 bytes each
    // 20 ms on the line.
    EXPECT_GT(took, 0.75);
    EXPECT_LT(took, 2.5);
    ASSERT_TRUE([&] {
        for (int i = 0; i < 100 && far.receivedCount() < 8000; ++i)
            std::this_thread::sleep_for(20ms);
        return far.receivedCount() == 8000;
    }());
    std::vector<uint8_t> got = far.received();
    EXPECT_EQ(std::count(got.begin(), got.end(), 0x10), 80);
    far.stop();
}

TEST(FarEnd, TalksDoubledThenKeysThenHangsUp)
{
    FarEnd far(constant);
    int fd = far.daemonFd();
    far.start();
    far.key("*1#");
    far.hangUp();
    std::vector<uint8_t> line;
    uint8_t buffer[4096];
    auto deadline = Clock::now() + 3s;
    while (Clock::now() < deadline) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        line.insert(line.end(), buffer, buffer + n);
        if (line.size() >= 2 && line[line.size() - 2] == 0x10 && line.back() == 0x03)
            break;
    }
    // Decode as the daemon does: DLE DLE is audio, DLE x a code.
    std::string codes;
    size_t audio = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] != 0x10) {
            ++audio;
            continue;
        }
        ASSERT_LT(i + 1, line.size());
        if (line[++i] == 0x10)
            ++audio;
        else
            codes += static_cast<char>(line[i]);
    }
    EXPECT_EQ(codes, std::string("*1#\x03"));
    EXPECT_EQ(audio % 160, 0u);
    EXPECT_EQ(audio, far.bytesSent());
    far.stop();
}

} // namespace
} // namespace callctl
