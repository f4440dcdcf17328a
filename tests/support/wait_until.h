// Test-only: polling with a deadline, the one way tests wait for something another thread or
// process does (never a bare sleep).
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace brix_test {

// Calls `done` every few milliseconds until it returns true (result true) or `timeout` has passed
// (result false). `done` runs on the calling thread.
inline bool wait_until(const std::function<bool()>& done,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace brix_test
