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
    // 90 bytes left and the writer is still writing: silence goes out and
    // they wait for the rest of their frame.
    q.push(std::vector<uint8_t>(10, 0x42));
    EXPECT_FALSE(q.takeFrame(frame));
    EXPECT_EQ(frame[0], 0xFF);
    EXPECT_EQ(frame[159], 0xFF);
    EXPECT_EQ(q.underruns(), 1u);
    EXPECT_EQ(q.queued(), 100u);

    q.push(std::vector<uint8_t>(60, 0x43));
    ASSERT_TRUE(q.takeFrame(frame));
    EXPECT_EQ(frame[0], 160);
    EXPECT_EQ(frame[89], 249);
    EXPECT_EQ(frame[90], 0x42);
    EXPECT_EQ(frame[100], 0x43);
    EXPECT_EQ(q.queued(), 0u);
}

TEST(TxQueue, AWriterThatStopsHasItsLastBytesSentPadded)
{
    TxQueue q(480, 320);
    std::array<uint8_t, 160> frame{};
    q.push(std::vector<uint8_t>(200, 7));
    EXPECT_FALSE(q.takeFrame(frame)); // it just wrote: wait for the margin
    // Nothing more came: the 200 bytes go out, the last 40 padded.
    ASSERT_TRUE(q.takeFrame(frame));
    EXPECT_EQ(frame[159], 7);
    ASSERT_TRUE(q.takeFrame(frame));
    EXPECT_EQ(frame[39], 7);
    EXPECT_EQ(frame[40], 0xFF);
    EXPECT_EQ(q.queued(), 0u);
    EXPECT_FALSE(q.takeFrame(frame));
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
    q.push(std::vector<uint8_t>(20, 3));
    EXPECT_TRUE(q.takeFrame(frame));
    EXPECT_EQ(frame[39], 1);
    EXPECT_EQ(frame[40], 2);
    EXPECT_EQ(q.underruns(), 0u); // the start is no underrun
    // 100 left while the writer goes on: an underrun; then the margin
    // again before sending.
    q.push(std::vector<uint8_t>(20, 4));
    EXPECT_FALSE(q.takeFrame(frame));
    EXPECT_EQ(q.underruns(), 1u);
    q.push(std::vector<uint8_t>(100, 5));
    EXPECT_FALSE(q.takeFrame(frame));
    q.push(std::vector<uint8_t>(100, 6));
    EXPECT_TRUE(q.takeFrame(frame));
    EXPECT_EQ(frame[0], 2);
}
