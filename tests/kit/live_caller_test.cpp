#include "live_caller.h"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// Everything the caller wrote that the daemon's end has not read yet.
Bytes unreadAtTheDaemonEnd(const sim::Line& line)
{
    fcntl(line.daemonFd(), F_SETFL, fcntl(line.daemonFd(), F_GETFL) | O_NONBLOCK);
    Bytes all;
    uint8_t buf[4096];
    ssize_t n;
    while ((n = read(line.daemonFd(), buf, sizeof buf)) > 0)
        all.insert(all.end(), buf, buf + n);
    return all;
}

TEST(LiveCaller, SaysWhatWasQueuedWholeAmongSilenceAndNothingAfterItsEnd)
{
    sim::Line line(sim::Line::Kind::SocketPair);
    kit::LiveCaller caller(line);
    caller.start();
    Bytes words;
    for (int i = 0; i < 3000; ++i)
        words.push_back(static_cast<uint8_t>(1 + i % 200)); // no silence among them
    caller.send(words);
    caller.keys("7#");
    caller.send({sim::DLE, sim::ETX});
    ASSERT_TRUE(caller.sent(10s)) << "awaited the queue's end";
    caller.stop();

    Bytes said = unreadAtTheDaemonEnd(line);
    Bytes tail = words;
    tail.insert(tail.end(), {sim::DLE, '7', sim::DLE, '#', sim::DLE, sim::ETX});
    ASSERT_GE(said.size(), tail.size());
    size_t before = said.size() - tail.size();
    EXPECT_EQ(Bytes(said.begin() + static_cast<long>(before), said.end()), tail)
        << "the words, the keys, the end: in order, unbroken, last";
    EXPECT_EQ(before % 80, 0u) << "silence comes in whole pieces";
    EXPECT_TRUE(std::all_of(said.begin(), said.begin() + static_cast<long>(before), [](uint8_t b) { return b == 0xFF; }))
        << "only silence before the words";
}

TEST(LiveCaller, HearsWhatTheDaemonEndSaysAndNotWhatItDidNot)
{
    sim::Line line(sim::Line::Kind::SocketPair);
    kit::LiveCaller caller(line);
    Bytes greeting{1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(write(line.daemonFd(), greeting.data(), greeting.size()), static_cast<ssize_t>(greeting.size()));
    EXPECT_TRUE(caller.heard(Bytes(greeting.begin() + 2, greeting.end()), 10s));
    EXPECT_FALSE(caller.heard({8, 1}, 50ms));
}

} // namespace
