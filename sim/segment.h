// The controlling application's share of the record: it creates the
// segment, fills it before a daemon starts and watches it while the daemon
// runs.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string_view>

#include "control_block.h"

namespace sim {

using namespace std::chrono_literals;

class Segment {
public:
    // Creates a private segment of `bytes` (default: one ControlBlock),
    // zero-filled and attached.  A failure aborts the test program: nothing
    // can be driven without it.
    explicit Segment(std::size_t bytes = controlBlockSize);
    ~Segment(); // detaches and removes the segment (unless released before)
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;

    int id() const { return id_; }
    ControlBlock& block() { return *block_; }
    ControlBlock* operator->() { return block_; }

    // Marks the segment for removal now; it goes with the last detach.  For
    // long runs that may be killed before the destructor runs: call it once
    // every daemon has attached, so nothing is left behind whatever happens.
    void release();

    // Writes a NUL-terminated path into one of the four path fields.
    static void setPath(char (&field)[pathFieldSize], std::string_view path);

    // Polls every 200 µs until the word holds `value` or the time is up.
    // The kit's waits default to 10 s, ten times what a busy machine needs:
    // a wait that holds returns at once, so only a fault pays for it.
    bool waitFor(const Word& word, uint32_t value, std::chrono::milliseconds timeout = 10s) const;
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) const;

private:
    int id_ = -1;
    ControlBlock* block_ = nullptr;
    bool released_ = false;
};

} // namespace sim
