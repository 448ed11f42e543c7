// Test support: waits for a state the code under test reaches on another thread or in
// another process, checking it every millisecond; false when `timeoutMs` passed first.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace quortest {

inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 30000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace quortest
