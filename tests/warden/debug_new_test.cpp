#include "warden/debug_new.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Widget {
    explicit Widget(int v) : value(v) {}
    int value;
    std::string name = "widget";
};

// Whether `w` was made at __FILE__:`line` and constructed with `value`.
bool MadeAt(const Widget* w, int line, int value) {
    const debug_new::Site site = debug_new::AllocationSite(w);
    return site.file != nullptr && std::strcmp(site.file, __FILE__) == 0 && site.line == line &&
           w->value == value && w->name == "widget";
}

TEST(DebugNew, RecordsTheCallersFileAndLineUntilAPlainDeleteReleasesTheBlock) {
    Widget* widget = DEBUG_NEW Widget(7);
    EXPECT_TRUE(MadeAt(widget, __LINE__ - 1, 7));
    // Kept as a number: only the address is looked up, the block is not touched.
    volatile std::uintptr_t address = reinterpret_cast<std::uintptr_t>(widget);
    delete widget;
    EXPECT_EQ(debug_new::AllocationSite(reinterpret_cast<const void*>(address)).file, nullptr);
    int* plain = new int(3);
    EXPECT_EQ(debug_new::AllocationSite(plain).file, nullptr) << "plain new is not recorded";
    delete plain;

    // Concurrent allocations keep their own sites. After a release another thread may get the
    // same address at once, so whether the record is gone is checked above, not here.
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < 500; ++i) {
                Widget* w = DEBUG_NEW Widget(t);
                wrong[t] += !MadeAt(w, __LINE__ - 1, t);
                delete w;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
