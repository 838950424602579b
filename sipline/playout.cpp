#include "playout.h"

#include <algorithm>
#include <array>

#include "framing.h"

namespace sipline {

namespace {

// `n` bits from bit `first` of a word.
uint64_t bitRun(uint32_t first, uint32_t n)
{
    return (n == 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1) << first;
}

} // namespace

Playout::Playout(uint32_t startDelay, uint32_t maxDelay)
    : startDelay_(std::min(startDelay, ringSize / 2)),
      maxDelay_(std::clamp(maxDelay, startDelay_, ringSize / 2)), delay_(startDelay_),
      samples_(ringSize, ulawSilence), filled_(ringSize / 64, 0)
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
    // What is late of a packet that follow() kept has been played already.
    int32_t late = static_cast<int32_t>(playTs_ - timestamp);
    for (uint32_t i = late > 0 ? static_cast<uint32_t>(late) : 0; i < ulaw.size(); i++) {
        uint32_t slot = (timestamp + i) & ringMask;
        samples_[slot] = ulaw[i];
        filled_[slot / 64] |= bitRun(slot % 64, 1);
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

// A frame is looked at a word of slots at a time; the ring is a whole
// number of words, so no word crosses its end.
bool Playout::wholeFrameHere() const
{
    if (!started_ || stall_ != 0)
        return false;
    if (!keys_.empty() && static_cast<int32_t>(keys_.front().timestamp - playTs_) < static_cast<int32_t>(frameSamples))
        return false;
    for (uint32_t i = 0; i < frameSamples;) {
        uint32_t slot = (playTs_ + i) & ringMask;
        uint32_t bit = slot % 64;
        uint32_t n = std::min(64 - bit, frameSamples - i);
        uint64_t mask = bitRun(bit, n);
        if ((filled_[slot / 64] & mask) != mask)
            return false;
        i += n;
    }
    return true;
}

void Playout::takeFrame(std::vector<uint8_t>& line)
{
    if (wholeFrameHere()) {
        // The common frame: every sample here, no key due, no silence owed.
        std::array<uint8_t, frameSamples> frame;
        for (uint32_t i = 0; i < frameSamples;) {
            uint32_t slot = (playTs_ + i) & ringMask;
            uint32_t bit = slot % 64;
            uint32_t n = std::min(64 - bit, frameSamples - i);
            std::copy_n(samples_.begin() + slot, n, frame.begin() + i);
            filled_[slot / 64] &= ~bitRun(bit, n);
            i += n;
        }
        playTs_ += frameSamples;
        appendDoubled(frame, line);
        return;
    }
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
        if (started_ && filled(slot)) {
            sample = samples_[slot];
            filled_[slot / 64] &= ~bitRun(slot % 64, 1);
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
