#include "marks.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace bench {

namespace {

// Header fields carry 7 bits per byte with the high bit set, so they never
// hold markMagic1 or DLE.
constexpr uint8_t field(uint32_t v, int group) { return static_cast<uint8_t>(((v >> (7 * group)) & 0x7F) | 0x80); }

// Audio-like bytes with the high bit set (so never markMagic1), never
// markMagic0, and a DLE every 50 bytes.
constexpr uint8_t bodyByte(uint32_t seq, uint32_t call, size_t i)
{
    if (i % 50 == 25)
        return dle;
    auto v = static_cast<uint8_t>(((seq * 31 + i * 7 + call * 13) & 0x7F) | 0x80);
    return v == markMagic0 ? markMagic0 - 1 : v;
}

} // namespace

void makeMarkedChunk(uint8_t* chunk, size_t size, uint32_t seq, uint32_t call)
{
    chunk[0] = markMagic0;
    chunk[1] = markMagic1;
    for (int g = 0; g < 4; ++g)
        chunk[2 + g] = field(seq, g);
    chunk[6] = field(call, 0);
    chunk[7] = field(call, 1);
    for (size_t i = markHeaderSize; i < size; ++i)
        chunk[i] = bodyByte(seq, call, i);
}

bool readMark(const uint8_t* chunk, size_t size, uint32_t& seq, uint32_t& call)
{
    if (size < minMarkedChunk || chunk[0] != markMagic0 || chunk[1] != markMagic1)
        return false;
    uint32_t s = 0, c = 0;
    for (int g = 0; g < 4; ++g) {
        if ((chunk[2 + g] & 0x80) == 0)
            return false;
        s |= static_cast<uint32_t>(chunk[2 + g] & 0x7F) << (7 * g);
    }
    for (int g = 0; g < 2; ++g) {
        if ((chunk[6 + g] & 0x80) == 0)
            return false;
        c |= static_cast<uint32_t>(chunk[6 + g] & 0x7F) << (7 * g);
    }
    for (size_t i = markHeaderSize; i < size; ++i)
        if (chunk[i] != bodyByte(s, c, i))
            return false;
    seq = s;
    call = c;
    return true;
}

size_t undoubleDle(uint8_t* buf, size_t n, bool& pending, uint64_t& codes)
{
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = buf[i];
        if (pending) {
            pending = false;
            if (b == dle)
                buf[k++] = dle;
            else
                ++codes;
        } else if (b == dle) {
            pending = true;
        } else {
            buf[k++] = b;
        }
    }
    return k;
}

ChunkReader::ChunkReader(size_t chunkSize, uint32_t call) : buffer_(chunkSize), call_(call) {}

void ChunkReader::resync()
{
    // The next header can start anywhere after the first byte, also in the
    // last byte (a magic byte whose partner has not arrived yet).
    size_t size = buffer_.size();
    size_t k = 1;
    for (; k < size; ++k)
        if (buffer_[k] == markMagic0 && (k + 1 == size || buffer_[k + 1] == markMagic1))
            break;
    badBytes_ += k;
    memmove(buffer_.data(), buffer_.data() + k, size - k);
    fill_ = size - k;
}

TapeCheck checkTape(const uint8_t* data, size_t n, size_t chunkSize, uint32_t call)
{
    TapeCheck t;
    t.bytes = n;
    bool first = true;
    uint32_t expected = 0;
    for (size_t at = 0; at + chunkSize <= n; at += chunkSize) {
        uint32_t seq = 0, c = 0;
        if (!readMark(data + at, chunkSize, seq, c) || c != call || (!first && seq != expected)) {
            ++t.bad;
            if (!first)
                ++expected;
            continue;
        }
        if (first)
            t.firstSeq = seq;
        first = false;
        expected = seq + 1;
        ++t.chunks;
    }
    if (n % chunkSize != 0)
        ++t.bad; // a torn last chunk
    return t;
}

void PatternWatch::arm(const uint8_t* pattern, size_t n)
{
    pattern_.assign(pattern, pattern + n);
    tail_.clear();
}

bool PatternWatch::feed(const uint8_t* data, size_t n)
{
    if (pattern_.empty())
        return false;
    tail_.insert(tail_.end(), data, data + n);
    if (std::search(tail_.begin(), tail_.end(), pattern_.begin(), pattern_.end()) != tail_.end()) {
        pattern_.clear();
        tail_.clear();
        return true;
    }
    size_t keep = pattern_.size() - 1;
    if (tail_.size() > keep)
        tail_.erase(tail_.begin(), tail_.end() - static_cast<long>(keep));
    return false;
}

Summary summarize(std::vector<double>& sample)
{
    Summary s;
    s.count = sample.size();
    if (sample.empty())
        return s;
    std::sort(sample.begin(), sample.end());
    auto rank = [&](double p) {
        auto r = static_cast<size_t>(std::ceil(p * static_cast<double>(sample.size())));
        return sample[std::clamp<size_t>(r, 1, sample.size()) - 1];
    };
    s.p50 = rank(0.50);
    s.p99 = rank(0.99);
    s.max = sample.back();
    double sum = 0;
    for (double v : sample)
        sum += v;
    s.mean = sum / static_cast<double>(sample.size());
    return s;
}

} // namespace bench
