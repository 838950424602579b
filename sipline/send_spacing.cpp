#include "send_spacing.h"

#include <cstdlib>

namespace sipline {

void SendSpacing::sent(int64_t nowNs)
{
    sends_++;
    if (lastNs_ >= 0) {
        int64_t offUs = std::llabs((nowNs - lastNs_) / 1000 - 20000);
        size_t bin = static_cast<size_t>(offUs / binUs);
        bins_[bin < bins_.size() ? bin : bins_.size() - 1]++;
        gaps_++;
        if (offUs > worstUs_)
            worstUs_ = offUs;
    }
    lastNs_ = nowNs;
}

double SendSpacing::percentileMs(double fraction) const
{
    if (gaps_ == 0)
        return 0;
    uint64_t want = static_cast<uint64_t>(fraction * static_cast<double>(gaps_) + 0.5);
    uint64_t seen = 0;
    for (size_t i = 0; i < bins_.size(); i++) {
        seen += bins_[i];
        if (seen >= want && seen > 0) {
            // The bin's upper edge, which no gap passed beyond the worst;
            // the last bin has no upper edge but the worst.
            if (i + 1 == bins_.size())
                break;
            int64_t edgeUs = static_cast<int64_t>(i + 1) * binUs;
            return static_cast<double>(edgeUs < worstUs_ ? edgeUs : worstUs_) / 1000.0;
        }
    }
    return worstMs();
}

} // namespace sipline
