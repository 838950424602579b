#include "room.h"

uint32_t roomLeft(uint32_t tapeLimit, uint32_t outgoingPosition)
{
    return tapeLimit - outgoingPosition;
}

bool chunkFits(uint32_t tapeLimit, uint32_t outgoingPosition, uint32_t count)
{
    return count <= roomLeft(tapeLimit, outgoingPosition) && count <= UINT32_MAX - outgoingPosition;
}
