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
    if (queued_.size() < frame.size() || (starved_ && queued_.size() < resumeAt_)) {
        std::fill(frame.begin(), frame.end(), ulawSilence);
        if (!starved_)
            underruns_++;
        starved_ = true;
        return false;
    }
    starved_ = false;
    std::copy_n(queued_.begin(), frame.size(), frame.begin());
    queued_.erase(queued_.begin(), queued_.begin() + frame.size());
    return true;
}

} // namespace sipline
