#include "tx_queue.h"

#include <algorithm>

#include "framing.h"

namespace sipline {

TxQueue::TxQueue(size_t capacity, size_t resumeAt)
    : capacity_(std::max<size_t>(capacity, 160)), resumeAt_(std::clamp<size_t>(resumeAt, 160, capacity_))
{
    queued_.reserve(capacity_);
}

void TxQueue::push(std::span<const uint8_t> audio)
{
    queued_.insert(queued_.end(), audio.begin(), audio.end());
}

bool TxQueue::takeFrame(std::span<uint8_t, 160> frame)
{
    size_t n = queued_.size();
    // A writer that added nothing since the last frame has stopped for now:
    // what it left goes out, padded with silence where it is short.
    bool stalled = n == sizeAtLastTake_;
    bool send = n >= frame.size() ? !starved_ || n >= resumeAt_ || stalled : n > 0 && stalled;
    if (!send) {
        std::fill(frame.begin(), frame.end(), ulawSilence);
        if (!starved_)
            underruns_++;
        starved_ = true;
        sizeAtLastTake_ = n;
        return false;
    }
    size_t take = std::min(n, frame.size());
    std::copy_n(queued_.begin(), take, frame.begin());
    std::fill(frame.begin() + static_cast<long>(take), frame.end(), ulawSilence);
    queued_.erase(queued_.begin(), queued_.begin() + static_cast<long>(take));
    starved_ = take < frame.size();
    sizeAtLastTake_ = queued_.size();
    return true;
}

} // namespace sipline
