// Test-only helpers: polling with a deadline, the one way tests wait for another thread or
// process, and a fresh folder for one test.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
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

// An empty folder of its own, removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir() {
        static std::atomic<unsigned> counter{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        do {
            dir = (std::filesystem::temp_directory_path() /
                   ("brix-test-" + std::to_string(stamp) + "-" + std::to_string(counter++)))
                      .generic_string();
        } while (!std::filesystem::create_directory(dir));
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    const std::string& path() const { return dir; }  // absolute, with forward slashes

  private:
    std::string dir;
};

}  // namespace brix_test
