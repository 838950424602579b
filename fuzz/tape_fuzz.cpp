// The tape arithmetic of the three daemons on any positions, limits and
// commands, as unsigned 32-bit words hold them.
//
// Invariants: a chunk accepted under the limit ends at or before it (no
// wrap-around past 2^32); the voicephone side has no room beyond the limit;
// the record side, as its contract says, records on without limit once
// beyond it; skips, counted modulo 2^32 like the position words, never go
// before the start or past the end; the response file never exceeds
// its limit; a measured length fits a position word.
#include "fuzz_check.h"
#include "room.h"
#include "tape_math.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in{data, size};
    while (in.size >= 16) {
        uint32_t limit = in.word();
        uint32_t position = in.word();
        uint32_t count = in.word();
        uint32_t seconds = in.word();

        if (tapeHasRoom(limit, position, count))
            check(position <= limit && uint64_t{position} + count <= limit);
        if (position > limit)
            check(!tapeHasRoom(limit, position, count));

        if (position <= limit && chunkFits(limit, position, count))
            check(uint64_t{position} + count <= limit);

        uint32_t length = limit; // any word serves as a length
        uint32_t back = skipBackTarget(position, seconds);
        check(back <= position);
        uint32_t amount = seconds * 8000u; // modulo 2^32, as the position words count
        check(amount > position ? back == 0 : back == position - amount);
        uint32_t forward = skipForwardTarget(position, seconds, length);
        check(forward <= length);

        if (responseHasRoom(position, count, limit))
            check(uint64_t{position} + count <= limit);
        else
            check(uint64_t{position} + count > limit);

        uint64_t a = uint64_t{position} << (count & 7);
        uint64_t b = uint64_t{count} << (seconds & 7);
        uint32_t measured = tapeLengthFromSizes(a, b);
        check(measured <= a && measured <= b);
        check(measured == (a < b ? a : b) || measured == UINT32_MAX);
    }
    return 0;
}
