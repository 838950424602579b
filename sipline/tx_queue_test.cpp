#include "tx_queue.h"

#include <gtest/gtest.h>

using namespace sipline;

TEST(TxQueue, SendsWholeFramesAndSilenceOnUnderrun)
{
    TxQueue q(480, 160);
    std::array<uint8_t, 160> frame{};
    std::vector<uint8_t> audio(250);
    for (size_t i = 0; i < audio.size(); i++)
        audio[i] = static_cast<uint8_t>(i);
    q.push(audio);
    EXPECT_EQ(q.room(), 230u);

    ASSERT_TRUE(q.takeFrame(frame));
    EXPECT_EQ(frame[0], 0);
    EXPECT_EQ(frame[159], 159);
    // 90 bytes left: not a frame; silence goes out and they wait.
    EXPECT_FALSE(q.takeFrame(frame));
    EXPECT_EQ(frame[0], 0xFF);
    EXPECT_EQ(frame[159], 0xFF);
    EXPECT_EQ(q.underruns(), 1u);
    EXPECT_EQ(q.queued(), 90u);

    q.push(std::vector<uint8_t>(70, 0x42));
    ASSERT_TRUE(q.takeFrame(frame));
    EXPECT_EQ(frame[0], 160);
    EXPECT_EQ(frame[89], 249);
    EXPECT_EQ(frame[90], 0x42);
    EXPECT_EQ(q.queued(), 0u);
}

TEST(TxQueue, RoomNeverNegative)
{
    TxQueue q(160, 160);
    q.push(std::vector<uint8_t>(200, 1));
    EXPECT_EQ(q.room(), 0u);
}

TEST(TxQueue, RefillsToTheMarginBeforeResuming)
{
    TxQueue q(480, 320);
    std::array<uint8_t, 160> frame{};
    q.push(std::vector<uint8_t>(200, 1));
    EXPECT_FALSE(q.takeFrame(frame)); // a frame waits, but not the margin
    q.push(std::vector<uint8_t>(200, 2));
    EXPECT_TRUE(q.takeFrame(frame));
    EXPECT_TRUE(q.takeFrame(frame));
    EXPECT_EQ(frame[39], 1);
    EXPECT_EQ(frame[40], 2);
    EXPECT_EQ(q.underruns(), 0u); // the start is no underrun
    // 80 left: an underrun; then the margin again before sending.
    EXPECT_FALSE(q.takeFrame(frame));
    EXPECT_EQ(q.underruns(), 1u);
    q.push(std::vector<uint8_t>(100, 3));
    EXPECT_FALSE(q.takeFrame(frame));
    q.push(std::vector<uint8_t>(140, 4));
    EXPECT_TRUE(q.takeFrame(frame));
    EXPECT_EQ(frame[0], 2);
}
