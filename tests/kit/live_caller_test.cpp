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
    // Silence fills every moment with nothing queued, also between two
    // items when the test queues the second a little late: take it out,
    // and what is left is the queue, in order, each item unbroken.
    Bytes spoken;
    size_t silent = 0;
    for (uint8_t b : said)
        b == 0xFF ? void(++silent) : spoken.push_back(b);
    Bytes tail = words;
    tail.insert(tail.end(), {sim::DLE, '7', sim::DLE, '#', sim::DLE, sim::ETX});
    EXPECT_EQ(spoken, tail) << "the words, the keys, the end, in order";
    EXPECT_NE(std::search(said.begin(), said.end(), words.begin(), words.end()), said.end()) << "the words unbroken";
    EXPECT_EQ(silent % 80, 0u) << "silence comes in whole pieces";
    ASSERT_GE(said.size(), 2u);
    EXPECT_EQ(Bytes(said.end() - 2, said.end()), Bytes({sim::DLE, sim::ETX})) << "nothing after the end";
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
