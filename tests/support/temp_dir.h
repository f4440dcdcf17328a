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
    TempDir() {
        static std::atomic<unsigned> counter{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        std::filesystem::path name;
        do {
            name = std::filesystem::temp_directory_path() /
                   ("brix-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
        } while (!std::filesystem::create_directory(name));
        dir = name.generic_string();
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    // The folder's absolute path, with forward slashes.
    const std::string& path() const { return dir; }

  private:
    std::string dir;
};

}  // namespace brix_test
