#include "control_block_view.h"

#include <gtest/gtest.h>
#include <memory>

namespace callctl {
namespace {

TEST(ControlBlockView, TimesAndFlagsReadAsAPersonSaysThem)
{
    EXPECT_EQ(tapeTime(0), "00:00");
    EXPECT_EQ(tapeTime(8000 * 61 + 7999), "01:01");
    EXPECT_EQ(tapeTime(8000 * 61 + 4000, true), "01:01.5");
    EXPECT_EQ(flagNames(0x00), "0x00");
    EXPECT_EQ(flagNames(0x06), "0x06 Started|Active");
    EXPECT_EQ(flagNames(0x12), "0x12 Started|Stopped");
    EXPECT_EQ(flagNames(0x109), "0x109 StartRequest|StopRequest|0x100");
}

TEST(ControlBlockView, FieldTableCoversEveryWordOfTheBlock)
{
    // 39 words plus dtmfKey, the tone, the code, the reserved bytes and four
    // paths make up the 2688 bytes; a forgotten word would go unseen.
    size_t bytes = wordFields().size() * 4 + 1 + dtmfToneSize + remoteCodeSize + 2 + 4 * pathFieldSize;
    EXPECT_EQ(bytes, controlBlockSize);
}

TEST(ControlBlockView, ShowsAndDiffsALiveBlock)
{
    auto cb = std::make_unique<ControlBlock>();
    memset(static_cast<void*>(cb.get()), 0, sizeof *cb);
    writeWord(cb->recordFlags, FlagStartRequest);
    writeWord(cb->tapePosition, 40000);
    writeWord(cb->wrapMode, 16);
    memcpy(cb->remoteCode, "1234", 5);
    memset(cb->ingoingPath, 'x', pathFieldSize); // no NUL: cut at 128 bytes
    BlockSnapshot before = takeSnapshot(*cb);
    std::string text = describeBlock(before);
    EXPECT_NE(text.find("recordFlags 0x01 StartRequest"), std::string::npos) << text;
    EXPECT_NE(text.find("tapePosition 40000 (00:05.0)"), std::string::npos) << text;
    EXPECT_NE(text.find("wrapMode 16 (16-bit linear)"), std::string::npos) << text;
    EXPECT_NE(text.find("code \"1234\""), std::string::npos) << text;
    EXPECT_EQ(before.paths[0], std::string(pathFieldSize, 'x'));

    markStarted(cb->recordFlags);
    writeWord(cb->tapePosition, 48000);
    writeByte(cb->dtmfKey, '5');
    BlockSnapshot after = takeSnapshot(*cb);
    EXPECT_EQ(describeChanges(before, after, false),
              (std::vector<std::string>{"recordFlags 0x01 StartRequest -> 0x06 Started|Active", "dtmfKey none -> '5'"}));
    std::vector<std::string> withPositions = describeChanges(before, after, true);
    EXPECT_EQ(withPositions.size(), 3u);
    EXPECT_EQ(withPositions[1], "tapePosition 40000 (00:05.0) -> 48000 (00:06.0)");
}

} // namespace
} // namespace callctl
