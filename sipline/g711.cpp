#include "g711.h"

#define HAVE_STDBOOL_H 1
#include <re/re.h>
#include <rem/rem.h>

namespace sipline {

void toUlaw(Codec codec, std::span<uint8_t> samples)
{
    if (codec == Codec::Pcmu)
        return;
    for (uint8_t& s : samples)
        s = g711_pcm2ulaw(g711_alaw2pcm(s));
}

void fromUlaw(Codec codec, std::span<uint8_t> samples)
{
    if (codec == Codec::Pcmu)
        return;
    for (uint8_t& s : samples)
        s = g711_pcm2alaw(g711_ulaw2pcm(s));
}

} // namespace sipline
