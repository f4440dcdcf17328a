#include "warden/debug_new.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>

namespace {

// Records of live `DEBUG_NEW` blocks. A fixed table, so that keeping it never allocates and the
// replaced global release below can consult it at any time, static destruction included; a block
// made while it is full is simply not recorded.
struct Record {
    const void* block;
    const char* file;
    int line;
};

constexpr std::size_t kCapacity = 256;
Record records[kCapacity];
std::atomic<std::size_t> live_records{0};
std::mutex records_mutex;

void Remember(const void* block, const char* file, int line) {
    std::lock_guard<std::mutex> lock(records_mutex);
    for (Record& r : records) {
        if (r.block == nullptr) {
            r = Record{block, file, line};
            live_records.fetch_add(1);
            return;
        }
    }
}

void Forget(const void* block) {
    // Most releases concern blocks made with plain `new`: skip the lock while no record exists.
    if (block == nullptr || live_records.load() == 0) return;
    std::lock_guard<std::mutex> lock(records_mutex);
    for (Record& r : records) {
        if (r.block == block) {
            r = Record{nullptr, nullptr, 0};
            live_records.fetch_sub(1);
            return;
        }
    }
}

}  // namespace

void* operator new(std::size_t size, const char* file, int line) {
    void* block = ::operator new(size);
    Remember(block, file, line);
    return block;
}

void operator delete(void* block, const char* /*file*/, int /*line*/) noexcept {
    ::operator delete(block);
}

// The global release is replaced so that a plain `delete` of a `DEBUG_NEW` block drops its record
// too; the memory itself goes back to the C heap the global allocator took it from.
void operator delete(void* block) noexcept {
    Forget(block);
    std::free(block);
}

void operator delete(void* block, std::size_t /*size*/) noexcept { ::operator delete(block); }

namespace debug_new {

Site AllocationSite(const void* block) {
    std::lock_guard<std::mutex> lock(records_mutex);
    for (const Record& r : records) {
        if (r.block != nullptr && r.block == block) return Site{r.file, r.line};
    }
    return Site{nullptr, 0};
}

}  // namespace debug_new
