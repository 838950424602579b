// Marked chunks: how the benchmarks know which chunk crossed a daemon, when,
// and whether it arrived whole.
//
// Every chunk the stand-ins send carries a header (two magic bytes, the
// chunk's sequence number and the call it belongs to) and a body computed
// from those numbers, with a few DLE bytes in it so that the framing work is
// part of what is measured.  The receiving end rebuilds chunks from the byte
// stream, checks every byte and reports each chunk's sequence number; a
// stream that lost bytes is picked up again at the next header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

inline constexpr uint8_t dle = 0x10;
inline constexpr uint8_t markMagic0 = 0xA5; // never in a body
inline constexpr uint8_t markMagic1 = 0x5A; // high bit clear: never in a header field or a body
inline constexpr size_t markHeaderSize = 8;
inline constexpr size_t minMarkedChunk = markHeaderSize + 1;

// Fills chunk[0 .. size) with the marked chunk `seq` of call `call`
// (size >= minMarkedChunk; seq < 2^28, call < 2^14).
void makeMarkedChunk(uint8_t* chunk, size_t size, uint32_t seq, uint32_t call);

// Checks a whole chunk; on success stores its numbers.
bool readMark(const uint8_t* chunk, size_t size, uint32_t& seq, uint32_t& call);

// The line's framing at the far end: every DLE of audio is sent twice, as
// voicephone_core's doubleDleBytes does it.

// Undoes doubleDle over a stream cut at any place: `pending` carries a DLE
// that ended the previous piece.  A DLE followed by anything but DLE is a
// code, not audio; it is dropped and counted in `codes`.  Undoing happens in
// place; returns the number of audio bytes left at the front of buf.
size_t undoubleDle(uint8_t* buf, size_t n, bool& pending, uint64_t& codes);

// Rebuilds chunks of one stream and checks them.
class ChunkReader {
public:
    ChunkReader(size_t chunkSize, uint32_t call);

    // Feeds the next piece of the stream.  For every whole chunk found,
    // `arrived(seq)` is called in stream order.
    template <typename Arrived>
    void feed(const uint8_t* data, size_t n, Arrived&& arrived)
    {
        for (size_t i = 0; i < n; ++i) {
            buffer_[fill_++] = data[i];
            if (fill_ == buffer_.size())
                takeChunk(arrived);
        }
    }

    uint64_t chunks() const { return chunks_; }          // whole, correct chunks
    uint64_t badBytes() const { return badBytes_; }      // bytes skipped to find the next header
    uint64_t outOfOrder() const { return outOfOrder_; }  // chunks older than one already seen
    uint64_t foreign() const { return foreign_; }        // correct chunks of another call

private:
    template <typename Arrived>
    void takeChunk(Arrived& arrived)
    {
        uint32_t seq = 0, call = 0;
        if (readMark(buffer_.data(), buffer_.size(), seq, call)) {
            fill_ = 0;
            if (call != call_) {
                ++foreign_;
                return;
            }
            ++chunks_;
            if (seenAny_ && seq <= lastSeq_)
                ++outOfOrder_;
            seenAny_ = true;
            lastSeq_ = seq;
            arrived(seq);
            return;
        }
        resync();
    }
    void resync();

    std::vector<uint8_t> buffer_;
    size_t fill_ = 0;
    uint32_t call_;
    uint32_t lastSeq_ = 0;
    bool seenAny_ = false;
    uint64_t chunks_ = 0;
    uint64_t badBytes_ = 0;
    uint64_t outOfOrder_ = 0;
    uint64_t foreign_ = 0;
};

// What a tape file holds when every chunk taped is a marked chunk of one
// call, numbered on from the first without a gap.
struct TapeCheck {
    uint64_t bytes = 0;      // bytes read from the file
    uint64_t chunks = 0;     // correct chunks in order
    uint64_t bad = 0;        // chunks that are wrong, foreign, or out of sequence
    uint32_t firstSeq = 0;
};
TapeCheck checkTape(const uint8_t* data, size_t n, size_t chunkSize, uint32_t call);

// Watches a stream, cut at any place, for the first occurrence of a short
// byte pattern (the start of a DTMF tone on the line).
class PatternWatch {
public:
    void arm(const uint8_t* pattern, size_t n);
    bool armed() const { return !pattern_.empty(); }
    // True when the pattern ends within this piece; the watch is then disarmed.
    bool feed(const uint8_t* data, size_t n);

private:
    std::vector<uint8_t> pattern_;
    std::vector<uint8_t> tail_; // the last bytes seen, fewer than the pattern
};

// Latency figures over a sample, in the sample's unit.
struct Summary {
    size_t count = 0;
    double p50 = 0, p99 = 0, max = 0, mean = 0;
};
// Nearest-rank percentiles; the sample is reordered.
Summary summarize(std::vector<double>& sample);

} // namespace bench
