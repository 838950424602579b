// How far apart packets went out, against the 20 ms they should be: a
// histogram of the deviation in 0.1 ms steps, kept without allocation in
// the loop, for the percentile a call's last line reports.
#pragma once

#include <array>
#include <cstdint>

namespace sipline {

class SendSpacing {
public:
    // One send at `nowNs` (a monotonic clock).
    void sent(int64_t nowNs);
    // No packet went out (the far end holds): the next gap is not measured.
    void skipped() { lastNs_ = -1; }
    // The deviation (ms) that `fraction` of the gaps stay within; 0 with
    // no gaps.
    double percentileMs(double fraction) const;
    double worstMs() const { return static_cast<double>(worstUs_) / 1000.0; }
    uint64_t gaps() const { return gaps_; }
    uint64_t sends() const { return sends_; }

private:
    static constexpr int binUs = 100;
    std::array<uint64_t, 201> bins_{}; // the last holds everything 20 ms off or more
    int64_t lastNs_ = -1;
    uint64_t gaps_ = 0;
    uint64_t sends_ = 0;
    int64_t worstUs_ = 0;
};

} // namespace sipline
