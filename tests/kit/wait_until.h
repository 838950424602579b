// Waiting for a condition another process or thread brings about: polled,
// with a deadline generous enough for a loaded machine, never a fixed sleep.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace kit {

// Polls `condition` every 10 ms until it holds (true) or `timeout` passes
// (false).  Once the condition holds it is not asked again, so one that
// takes something (a status, a line) takes it once.
inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace kit
