#include "control_block.h"

namespace {

// Replaces the low byte of the word with change(low byte) in one atomic step,
// provided the low byte has `required` set.  Bits above the low byte are kept
// exactly as another process leaves them.
template <typename Change>
bool updateFlagByte(Word& flags, uint32_t required, Change change)
{
    uint32_t old = flags.load(std::memory_order_relaxed);
    for (;;) {
        if ((old & required) == 0)
            return false;
        uint32_t low = change(old & 0xFFu) & 0xFFu;
        uint32_t next = (old & ~0xFFu) | low;
        if (flags.compare_exchange_weak(old, next, std::memory_order_acq_rel, std::memory_order_relaxed))
            return true;
    }
}

} // namespace

bool markStarted(Word& flags)
{
    return updateFlagByte(flags, FlagStartRequest,
                          [](uint32_t v) { return (v ^ FlagStartRequest) | FlagStarted | FlagActive; });
}

bool markStopped(Word& flags)
{
    return updateFlagByte(flags, FlagStopRequest,
                          [](uint32_t v) { return ((v ^ FlagStopRequest) & ~FlagActive) | FlagStopped; });
}

bool clearActive(Word& flags)
{
    return (flags.fetch_and(~FlagActive, std::memory_order_acq_rel) & FlagActive) != 0;
}
