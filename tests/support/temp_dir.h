// Test-only: a fresh, empty folder for one test, removed with everything in it afterwards.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>

namespace brix_test {

class TempDir {
  public:
    // Creates a new folder under the system's temporary folder; throws
    // std::filesystem::filesystem_error when it cannot.
    TempDir() {
        static std::atomic<unsigned> counter{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        std::filesystem::path candidate;
        do {
            candidate = std::filesystem::temp_directory_path() /
                        ("brix-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
        } while (!std::filesystem::create_directory(candidate));  // false when it exists
        dir = candidate.generic_string();
    }
    // Removes the folder and its contents; errors are ignored.
    ~TempDir() {
        std::error_code error;
        std::filesystem::remove_all(dir, error);
    }

    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder's absolute path, with forward slashes on every platform.
    const std::string& path() const { return dir; }

  private:
    std::string dir;
};

}  // namespace brix_test
