// Test-only: polling with a deadline, the one way tests wait for another thread or process.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace brix_test {

// Calls `done` every few milliseconds until it returns true (true) or `timeout` has passed (false).
inline bool wait_until(const std::function<bool()>& done,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (std::chrono::steady_clock::now() >= deadline) return false;
    return true;
}

}  // namespace brix_test
