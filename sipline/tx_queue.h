// Line → RTP: the audio the application wrote, undoubled, waiting for the
// 20 ms tick that sends it as one 160-byte packet.  The queue holds little,
// so the line is read only as fast as it is sent and the socket's small
// buffer holds the writer back as a real line does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sipline {

class TxQueue {
public:
    // After an underrun sending resumes only once `resumeAt` bytes wait, so
    // a writer that is a little late does not cut its stream with silence
    // at every frame.
    TxQueue(size_t capacity, size_t resumeAt);

    // How many more bytes of audio the queue takes now.
    size_t room() const { return capacity_ > queued_.size() ? capacity_ - queued_.size() : 0; }
    void push(std::span<const uint8_t> audio);
    // Fills `frame` with the next 160 bytes and returns true.  On underrun
    // (or while refilling after one) fills it with silence, keeps what is
    // queued for a later tick and returns false, unless the writer added
    // nothing since the last frame: then what it left goes out now, padded
    // with silence, so the end of what it said is not held back forever.
    bool takeFrame(std::span<uint8_t, 160> frame);

    uint64_t underruns() const { return underruns_; }
    size_t queued() const { return queued_.size(); }

private:
    size_t capacity_;
    size_t resumeAt_;
    bool starved_ = true;
    size_t sizeAtLastTake_ = 0;
    std::vector<uint8_t> queued_;
    uint64_t underruns_ = 0;
};

} // namespace sipline
