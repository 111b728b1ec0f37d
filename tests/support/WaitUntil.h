// Waiting in tests for a condition that nothing signals: checked every millisecond until it
// holds or the time-out passes. Prefer a condition variable where the code under test offers one.
#pragma once

#include <chrono>
#include <thread>

namespace sorvel::test {

// True if the condition held before the time-out.
template <class Pred>
bool WaitUntil(Pred condition, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace sorvel::test
