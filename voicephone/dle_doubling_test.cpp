#include "dle_doubling.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <random>
#include <vector>

#include "line_decoder.h"

namespace {

std::vector<uint8_t> doubled(const std::vector<uint8_t>& audio)
{
    std::vector<uint8_t> line(2 * audio.size() + 4, 0xEE);
    line.resize(doubleDleBytes(audio.data(), audio.size(), line.data()));
    return line;
}

TEST(DleDoubling, DoublesEveryDleAndNothingElse)
{
    EXPECT_EQ(doubled({1, 2, 0xFF}), (std::vector<uint8_t>{1, 2, 0xFF}));
    EXPECT_EQ(doubled({0x10, 5, 0x10}), (std::vector<uint8_t>{0x10, 0x10, 5, 0x10, 0x10}));
    EXPECT_TRUE(doubled({}).empty());

    // A chunk of DLE only fills the line buffer exactly, not a byte more.
    std::vector<uint8_t> allDle(160, 0x10);
    std::vector<uint8_t> line(2 * 160 + 1, 0xEE);
    EXPECT_EQ(doubleDleBytes(allDle.data(), allDle.size(), line.data()), 320u);
    EXPECT_TRUE(std::all_of(line.begin(), line.begin() + 320, [](uint8_t b) { return b == 0x10; }));
    EXPECT_EQ(line[320], 0xEE);
}

// The far end's view: decodes what crossed the line and fails on any code,
// since the pump never sends codes of its own.
struct FarEnd {
    LineDecoder decoder;
    std::vector<uint8_t> audio;
    bool sawCode = false;
    void take(const uint8_t* bytes, size_t n)
    {
        for (size_t i = 0; i < n; ++i) {
            LineByte kind = decodeLineByte(decoder, bytes[i]);
            if (kind == LineByte::Audio)
                audio.push_back(bytes[i]);
            else if (kind == LineByte::Code && bytes[i] == lineDle)
                audio.push_back(lineDle);
            else if (kind == LineByte::Code)
                sawCode = true;
        }
    }
};

// Writes that the line cuts anywhere, the owed half of a DLE pair going first
// in the next write: the far end never sees a code, and gets exactly the
// audio whose line bytes it took.
TEST(DleDoubling, ShortWritesNeverLeaveAStrayCode)
{
    std::mt19937 random(7);
    FarEnd far;
    bool owed = false;
    std::vector<uint8_t> expected;
    for (int chunk = 0; chunk < 2000; ++chunk) {
        std::vector<uint8_t> audio(1 + random() % 12);
        for (auto& b : audio)
            b = random() % 3 == 0 ? 0x10 : static_cast<uint8_t>(random() % 8);
        std::vector<uint8_t> buffer(1 + 2 * audio.size());
        uint8_t* line = buffer.data() + 1;
        size_t length = doubleDleBytes(audio.data(), audio.size(), line);
        uint8_t* out = line;
        size_t outLength = length;
        if (owed) {
            *--out = lineDle;
            ++outLength;
        }
        size_t written = random() % 2 ? outLength : random() % (outLength + 1);
        far.take(out, written);
        // Every audio byte whose first line byte was taken reaches the far
        // end; a DLE cut between its halves completes with a later write.
        size_t lineTaken = written - (owed && written > 0 ? 1 : 0);
        owed = dleOwedAfterWrite(owed, line, length, written);
        size_t used = 0;
        for (uint8_t b : audio) {
            if (used >= lineTaken)
                break;
            used += b == lineDle ? 2 : 1;
            expected.push_back(b);
        }
        ASSERT_FALSE(far.sawCode) << "chunk " << chunk;
    }
    EXPECT_EQ(far.decoder.dlePending, owed);
    if (owed)
        far.audio.push_back(lineDle);
    EXPECT_EQ(far.audio, expected);
}

TEST(DleDoubling, OwedHalfIsKnownAtEveryCut)
{
    const std::vector<uint8_t> line = doubled({7, 0x10, 0x10, 9, 0x10});
    // line: 07 10 10 10 10 09 10 10
    const bool owedAt[] = {false, false, true, false, true, false, false, true, false};
    for (size_t cut = 0; cut <= line.size(); ++cut)
        EXPECT_EQ(dleOwedAfterWrite(false, line.data(), line.size(), cut), owedAt[cut]) << cut;
    // With a DLE owed from before: nothing taken keeps it owed; the owed byte
    // alone settles it.
    EXPECT_TRUE(dleOwedAfterWrite(true, line.data(), line.size(), 0));
    EXPECT_FALSE(dleOwedAfterWrite(true, line.data(), line.size(), 1));
    EXPECT_TRUE(dleOwedAfterWrite(true, line.data(), line.size(), 3));
}

} // namespace
