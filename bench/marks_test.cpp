#include "marks.h"

#include <gtest/gtest.h>
#include <vector>

#include "dle_doubling.h"

namespace bench {
namespace {

std::vector<uint8_t> chunk(uint32_t seq, uint32_t call, size_t size = 160)
{
    std::vector<uint8_t> c(size);
    makeMarkedChunk(c.data(), size, seq, call);
    return c;
}

std::vector<uint8_t> stream(uint32_t from, uint32_t count, uint32_t call, size_t size = 160)
{
    std::vector<uint8_t> s;
    for (uint32_t q = from; q < from + count; ++q) {
        auto c = chunk(q, call, size);
        s.insert(s.end(), c.begin(), c.end());
    }
    return s;
}

TEST(MarkedChunk, CarriesItsNumbersAndDleBytes)
{
    for (uint32_t seq : {0u, 1u, 127u, 128u, 99999u, (1u << 28) - 1})
        for (uint32_t call : {0u, 5u, 199u, (1u << 14) - 1}) {
            auto c = chunk(seq, call);
            uint32_t s = 0, k = 0;
            ASSERT_TRUE(readMark(c.data(), c.size(), s, k));
            EXPECT_EQ(s, seq);
            EXPECT_EQ(k, call);
        }
    auto c = chunk(3, 4);
    EXPECT_EQ(std::count(c.begin(), c.end(), dle), 3); // the framing is exercised
}

// The reader finds its way back only if the magic pair never occurs inside a
// chunk (nor across two: nothing but the header's second byte is markMagic1), and a chunk is trusted only if every byte is checked.
TEST(MarkedChunk, MagicOnlyAtTheStartAndEveryByteChecked)
{
    for (uint32_t seq = 0; seq < 300; ++seq) {
        auto c = chunk(seq * 977, seq % 200);
        for (size_t i = 2; i < c.size(); ++i)
            ASSERT_NE(c[i], markMagic1) << "seq " << seq << " at " << i;
    }
    auto good = chunk(42, 7);
    for (size_t i = 0; i < good.size(); ++i) {
        auto bad = good;
        bad[i] ^= 0x01;
        uint32_t s = 0, k = 0;
        bool read = readMark(bad.data(), bad.size(), s, k);
        EXPECT_FALSE(read && s == 42 && k == 7) << "byte " << i;
    }
    uint32_t s, k;
    EXPECT_FALSE(readMark(good.data(), minMarkedChunk - 1, s, k));
}

TEST(LineFraming, UndoesDoublingAcrossEverySplitAndCountsCodes)
{
    std::vector<uint8_t> audio{1, dle, 2, dle, dle, 3, dle};
    std::vector<uint8_t> line(2 * audio.size());
    line.resize(doubleDleBytes(audio.data(), audio.size(), line.data()));
    EXPECT_EQ(line.size(), audio.size() + 4);
    line.push_back(dle);
    line.push_back(0x03); // a code, not audio
    line.push_back(9);
    for (size_t split = 0; split <= line.size(); ++split) {
        std::vector<uint8_t> a(line.begin(), line.begin() + split), b(line.begin() + split, line.end());
        bool pending = false;
        uint64_t codes = 0;
        size_t na = undoubleDle(a.data(), a.size(), pending, codes);
        size_t nb = undoubleDle(b.data(), b.size(), pending, codes);
        std::vector<uint8_t> out(a.begin(), a.begin() + na);
        out.insert(out.end(), b.begin(), b.begin() + nb);
        auto expected = audio;
        expected.push_back(9);
        EXPECT_EQ(out, expected) << "split at " << split;
        EXPECT_EQ(codes, 1u);
        EXPECT_FALSE(pending);
    }
}

TEST(ChunkReader, ReportsEveryChunkInOrderWhateverThePieces)
{
    auto s = stream(10, 20, 3);
    ChunkReader reader(160, 3);
    std::vector<uint32_t> seen;
    for (size_t at = 0, piece = 1; at < s.size(); at += piece, piece = piece * 7 % 211 + 1) {
        size_t n = std::min(piece, s.size() - at);
        reader.feed(s.data() + at, n, [&](uint32_t q) { seen.push_back(q); });
    }
    ASSERT_EQ(seen.size(), 20u);
    for (uint32_t i = 0; i < 20; ++i)
        EXPECT_EQ(seen[i], 10 + i);
    EXPECT_EQ(reader.badBytes(), 0u);
    EXPECT_EQ(reader.outOfOrder(), 0u);
}

TEST(ChunkReader, PicksUpAfterLostBytesAndFlagsStrangers)
{
    auto s = stream(0, 6, 1);
    s.erase(s.begin() + 170, s.begin() + 230); // part of chunk 1 is lost
    auto foreign = chunk(6, 2);
    auto old = chunk(3, 1);
    s.insert(s.end(), foreign.begin(), foreign.end());
    s.insert(s.end(), old.begin(), old.end());
    ChunkReader reader(160, 1);
    std::vector<uint32_t> seen;
    reader.feed(s.data(), s.size(), [&](uint32_t q) { seen.push_back(q); });
    EXPECT_EQ(seen, (std::vector<uint32_t>{0, 2, 3, 4, 5, 3}));
    EXPECT_EQ(reader.badBytes(), 100u); // what was left of chunk 1
    EXPECT_EQ(reader.foreign(), 1u);
    EXPECT_EQ(reader.outOfOrder(), 1u);
}

TEST(TapeCheck, CountsOrderedChunksAndEverythingElseAsBad)
{
    auto tape = stream(0, 5, 9);
    TapeCheck t = checkTape(tape.data(), tape.size(), 160, 9);
    EXPECT_EQ(t.chunks, 5u);
    EXPECT_EQ(t.bad, 0u);
    EXPECT_EQ(t.bytes, 800u);

    auto gap = stream(4, 2, 9);
    auto later = stream(7, 1, 9);
    gap.insert(gap.end(), later.begin(), later.end());
    gap.resize(gap.size() + 20, 0xFF); // a torn last chunk
    t = checkTape(gap.data(), gap.size(), 160, 9);
    EXPECT_EQ(t.firstSeq, 4u);
    EXPECT_EQ(t.chunks, 2u);
    EXPECT_EQ(t.bad, 2u);

    auto other = stream(0, 2, 8);
    EXPECT_EQ(checkTape(other.data(), other.size(), 160, 9).bad, 2u);
}

TEST(PatternWatch, FindsThePatternWhereverTheStreamIsCut)
{
    const uint8_t tone[] = {0xFF, 0x9A, 0x92, 0x9B, 0xC3, 0x2C};
    auto before = stream(0, 2, 1);
    std::vector<uint8_t> all = before;
    all.insert(all.end(), std::begin(tone), std::end(tone));
    all.push_back(0x55);
    for (size_t split = 0; split <= all.size(); split += 1) {
        PatternWatch w;
        w.arm(tone, sizeof tone);
        bool first = w.feed(all.data(), split);
        bool second = w.feed(all.data() + split, all.size() - split);
        EXPECT_TRUE(first != second) << "split at " << split; // found once, in the piece that completes it
        EXPECT_EQ(first, split >= before.size() + sizeof tone);
        EXPECT_FALSE(w.armed());
    }
    PatternWatch w;
    w.arm(tone, sizeof tone);
    EXPECT_FALSE(w.feed(before.data(), before.size())); // marked audio never looks like it
    EXPECT_FALSE(w.feed(tone, 5));
    EXPECT_TRUE(w.armed());
}

TEST(Summarize, NearestRankPercentiles)
{
    std::vector<double> v;
    for (int i = 100; i >= 1; --i)
        v.push_back(i);
    Summary s = summarize(v);
    EXPECT_EQ(s.count, 100u);
    EXPECT_DOUBLE_EQ(s.p50, 50);
    EXPECT_DOUBLE_EQ(s.p99, 99);
    EXPECT_DOUBLE_EQ(s.max, 100);
    EXPECT_DOUBLE_EQ(s.mean, 50.5);

    std::vector<double> one{7};
    s = summarize(one);
    EXPECT_DOUBLE_EQ(s.p50, 7);
    EXPECT_DOUBLE_EQ(s.p99, 7);
    std::vector<double> none;
    EXPECT_EQ(summarize(none).count, 0u);
}

} // namespace
} // namespace bench
