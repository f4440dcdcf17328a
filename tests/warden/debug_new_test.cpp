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

TEST(DebugNew, RecordsTheCallersFileAndLineUntilAPlainDeleteReleasesTheBlock) {
    const int line = __LINE__ + 1;
    Widget* widget = DEBUG_NEW Widget(7);
    EXPECT_EQ(widget->value, 7);
    EXPECT_EQ(widget->name, "widget");
    const debug_new::Site site = debug_new::AllocationSite(widget);
    ASSERT_NE(site.file, nullptr);
    EXPECT_STREQ(site.file, __FILE__);
    EXPECT_EQ(site.line, line);

    // Kept as a number: only the address is looked up, the block is not touched.
    volatile std::uintptr_t address = reinterpret_cast<std::uintptr_t>(widget);
    delete widget;
    EXPECT_EQ(debug_new::AllocationSite(reinterpret_cast<const void*>(address)).file, nullptr);

    int* plain = new int(3);
    EXPECT_EQ(debug_new::AllocationSite(plain).file, nullptr) << "plain new is not recorded";
    delete plain;
}

TEST(DebugNew, ConcurrentAllocationsKeepTheirOwnSites) {
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < 500; ++i) {
                const int line = __LINE__ + 1;
                Widget* w = DEBUG_NEW Widget(t);
                const debug_new::Site site = debug_new::AllocationSite(w);
                if (site.line != line || site.file == nullptr ||
                    std::strcmp(site.file, __FILE__) != 0 || w->value != t) {
                    ++wrong[t];
                }
                // After the release another thread may get the same address at once, so whether the
                // record is gone is checked single-threaded, not here.
                delete w;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
