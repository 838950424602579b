#include "playout.h"

#include <algorithm>
#include <array>

#include "framing.h"

namespace sipline {

Playout::Playout(uint32_t startDelay, uint32_t maxDelay)
    : startDelay_(std::min(startDelay, ringSize / 2)),
      maxDelay_(std::clamp(maxDelay, startDelay_, ringSize / 2)), delay_(startDelay_),
      samples_(ringSize, ulawSilence), stamps_(ringSize, 0), filled_(ringSize, 0)
{
}

// Decides where a packet belongs; false when it is entirely late.
bool Playout::follow(uint32_t ssrc, uint32_t timestamp, uint32_t count)
{
    int32_t ahead = static_cast<int32_t>(timestamp - playTs_);
    // A new source, or a jump no buffer could span, starts a new timeline
    // `delay_` behind this packet; what was buffered of the old one is gone.
    bool jump = ahead > static_cast<int32_t>(ringSize - count) || ahead < -static_cast<int32_t>(ringSize);
    if (!started_ || ssrc != ssrc_ || jump) {
        if (started_)
            resyncs_++;
        started_ = true;
        ssrc_ = ssrc;
        playTs_ = timestamp - delay_;
        firstTs_ = timestamp;
        endTs_ = timestamp;
        std::fill(filled_.begin(), filled_.end(), 0);
        keys_.clear();
        return true;
    }
    if (ahead < 0) {
        uint32_t lateBy = static_cast<uint32_t>(-ahead);
        uint32_t grown = std::min(maxDelay_, delay_ + lateBy);
        stall_ += grown - delay_;
        delay_ = grown;
        if (lateBy >= count) {
            late_ += count;
            return false;
        }
        late_ += lateBy;
    }
    return true;
}

void Playout::put(uint32_t ssrc, uint32_t timestamp, std::span<const uint8_t> ulaw)
{
    if (ulaw.empty() || ulaw.size() > ringSize / 2)
        return;
    if (!follow(ssrc, timestamp, static_cast<uint32_t>(ulaw.size())))
        return;
    for (uint32_t i = 0; i < ulaw.size(); i++) {
        uint32_t ts = timestamp + i;
        if (static_cast<int32_t>(ts - playTs_) < 0)
            continue;
        uint32_t slot = ts & ringMask;
        samples_[slot] = ulaw[i];
        stamps_[slot] = ts;
        filled_[slot] = 1;
    }
    uint32_t end = timestamp + static_cast<uint32_t>(ulaw.size());
    if (static_cast<int32_t>(end - endTs_) > 0)
        endTs_ = end;
}

uint32_t Playout::buffered() const
{
    int32_t ahead = static_cast<int32_t>(endTs_ - playTs_);
    return started_ && ahead > 0 ? static_cast<uint32_t>(ahead) : 0;
}

void Playout::putKey(uint32_t ssrc, uint32_t timestamp, uint8_t key)
{
    if (!started_ || ssrc != ssrc_)
        follow(ssrc, timestamp, 1);
    keys_.push_back({timestamp, key});
    std::stable_sort(keys_.begin(), keys_.end(), [this](const Key& a, const Key& b) {
        return static_cast<int32_t>(a.timestamp - playTs_) < static_cast<int32_t>(b.timestamp - playTs_);
    });
}

void Playout::takeFrame(std::vector<uint8_t>& line)
{
    uint32_t silence = std::min(stall_, frameSamples);
    stall_ -= silence;
    line.insert(line.end(), silence, ulawSilence);
    // The frame's samples are framed a run at a time; a key due inside
    // the frame ends the run before it.
    std::array<uint8_t, frameSamples> run;
    size_t length = 0;
    for (uint32_t i = silence; i < frameSamples; i++) {
        // Keys due at or before this sample go first, in timestamp order.
        if (!keys_.empty() && static_cast<int32_t>(keys_.front().timestamp - playTs_) <= 0) {
            appendDoubled({run.data(), length}, line);
            length = 0;
            while (!keys_.empty() && static_cast<int32_t>(keys_.front().timestamp - playTs_) <= 0) {
                appendCode(keys_.front().key, line);
                keys_.erase(keys_.begin());
            }
        }
        uint32_t slot = playTs_ & ringMask;
        uint8_t sample = ulawSilence;
        if (started_ && filled_[slot] && stamps_[slot] == playTs_) {
            sample = samples_[slot];
            filled_[slot] = 0;
        } else if (started_ && static_cast<int32_t>(playTs_ - firstTs_) >= 0) {
            missing_++; // the start delay before a stream's first sample is not missing
        }
        run[length++] = sample;
        if (started_)
            playTs_++;
    }
    appendDoubled({run.data(), length}, line);
}

} // namespace sipline
