#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using brix_test::wait_until;
using namespace std::chrono_literals;

TEST(WaitUntil, SeesAConditionSetByAnotherThread) {
    std::atomic<bool> flag{false};
    std::thread setter([&] { flag = true; });
    EXPECT_TRUE(wait_until([&] { return flag.load(); }));
    setter.join();
}

TEST(WaitUntil, GivesUpAtTheDeadline) {
    int calls = 0;
    EXPECT_FALSE(wait_until([&] { return ++calls < 0; }, 30ms));
    EXPECT_GT(calls, 1);
}
