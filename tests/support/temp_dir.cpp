#include "tests/support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <system_error>

namespace brix_test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    fs::path candidate;
    do {
        candidate = fs::temp_directory_path() /
                    ("brix-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    } while (!fs::create_directory(candidate));  // false when it exists; throws on a real error
    dir = candidate.generic_string();
}

TempDir::~TempDir() {
    std::error_code error;
    fs::remove_all(dir, error);
}

}  // namespace brix_test
