#include "dtmf_overlay.h"

#include <algorithm>
#include <cstring>

#include "dtmf.h"

bool overlayDtmfTone(int& offset, const uint8_t* tone, uint8_t* chunk, int count)
{
    int remaining = dtmfToneSamples - offset;
    if (remaining > 0 && count > 0) {
        int n = std::min(count, remaining);
        memcpy(chunk, tone + offset, static_cast<size_t>(n));
        offset += n;
    }
    if (offset < dtmfToneSamples)
        return false;
    offset = 0;
    return true;
}
