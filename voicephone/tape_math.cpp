#include "tape_math.h"

#include <algorithm>

#include "control_block.h"

bool tapeHasRoom(uint32_t limit, uint32_t position, uint32_t chunk)
{
    return position <= limit && limit - position >= chunk;
}

// Both skips work in the position words' own unsigned 32-bit arithmetic:
// the application computes positions the same way and relies on the result.
uint32_t skipBackTarget(uint32_t position, uint32_t seconds)
{
    uint32_t amount = seconds * bytesPerSecond;
    return position >= amount ? position - amount : 0;
}

uint32_t skipForwardTarget(uint32_t position, uint32_t seconds, uint32_t length)
{
    uint32_t target = position + seconds * bytesPerSecond;
    return target > length ? length : target;
}

TapeExtent tapeExtentAfterWrite(uint32_t ingoingPosition, uint32_t outgoingPosition, uint32_t length)
{
    uint32_t m = std::min(ingoingPosition, outgoingPosition);
    return {std::max(length, m), m};
}

uint32_t tapeLengthFromSizes(uint64_t ingoingSize, uint64_t outgoingSize)
{
    return static_cast<uint32_t>(std::min<uint64_t>({ingoingSize, outgoingSize, UINT32_MAX}));
}

bool responseHasRoom(uint32_t written, uint32_t count, uint32_t limit)
{
    return uint64_t{written} + count <= limit;
}
