// Heap allocation that remembers where it was made: `DEBUG_NEW T(...)` allocates like `new T(...)`
// and records the source file and line of the expression, which `debug_new::AllocationSite` looks
// up while the object lives. The memory comes from the ordinary global allocator, so a plain
// `delete` releases it; the record is dropped when it is released.
#pragma once

#include <cstddef>

// Allocates `size` bytes with the global allocator and records `file` (a string that must outlive
// the allocation, such as __FILE__) and `line` for it. Thread safe. Throws std::bad_alloc like
// the ordinary form.
void* operator new(std::size_t size, const char* file, int line);

// Release matching the form above; the compiler calls it when a constructor run by `DEBUG_NEW`
// throws. Thread safe.
void operator delete(void* block, const char* file, int line) noexcept;

#define DEBUG_NEW new (__FILE__, __LINE__)

namespace debug_new {

// Where a live block was allocated with `DEBUG_NEW`.
struct Site {
    const char* file;
    int line;
};

// The site of `block` if it was allocated with `DEBUG_NEW` and not yet released; otherwise a site
// with a null file and line 0. Thread safe.
Site AllocationSite(const void* block);

}  // namespace debug_new
