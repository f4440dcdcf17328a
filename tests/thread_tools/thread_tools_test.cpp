#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"
#include "thread_tools/queue.h"
#include "thread_tools/thread.h"

namespace {

using brix_test::wait_until;
using IntQueue = thread_tools::Queue<int>;

struct RecordingThread : thread_tools::Thread {
    void run() override { ran_on = std::this_thread::get_id(); }
    std::thread::id ran_on;
};

constexpr std::chrono::milliseconds kBriefly(50);  // for negative checks only

TEST(Thread, RunsTheSubclassOnANewThreadAndJoinsOnlyAThreadThatRuns) {
    RecordingThread thread;
    std::vector<int> codes = {thread.join()};  // never started
    for (int round = 0; round < 2; ++round)    // once joined, the object may run a thread again
        codes.insert(codes.end(), {thread.start(), thread.start(), thread.join(), thread.join()});
    // A second start fails: the first thread stays the one to join.
    EXPECT_EQ(codes, std::vector<int>({ESRCH, 0, EINVAL, 0, ESRCH, 0, EINVAL, 0, ESRCH}));
    EXPECT_TRUE(thread.ran_on != std::thread::id() && thread.ran_on != std::this_thread::get_id());
}

TEST(Queue, HandsOutInOrderBlocksWhileEmptyAndShutdownReleasesEveryTakerForGood) {
    IntQueue queue;
    for (int i : {1, 2, 3}) queue.put(i);
    for (int i : {1, 2, 3}) EXPECT_EQ(queue.get(), i);

    // Three takers block on the empty queue; a put wakes them all, one takes the element and the
    // others wait again, until the shutdown releases them.
    std::atomic<int> entered{0}, ended{0}, sum{0};
    std::vector<std::thread> takers;
    for (int i = 0; i < 3; ++i)
        takers.emplace_back([&] {
            ++entered;
            try {
                sum += queue.get();
            } catch (const IntQueue::queue_exception&) {
                sum -= 1;
            }
            ++ended;
        });
    EXPECT_TRUE(wait_until([&] { return entered == 3; }));
    EXPECT_FALSE(wait_until([&] { return ended > 0; }, kBriefly));
    queue.put(42);
    EXPECT_TRUE(wait_until([&] { return ended > 0; })) << "a put must wake a blocked taker";
    EXPECT_FALSE(wait_until([&] { return ended > 1; }, kBriefly));
    queue.shutdown();
    EXPECT_TRUE(wait_until([&] { return ended == 3; }));
    for (int i = 0; i < 3; ++i) queue.put(0);  // wakes takers the shutdown did not
    for (std::thread& taker : takers) taker.join();
    EXPECT_EQ(sum, 42 - 2);  // one took 42, two were shut out

    EXPECT_THROW(queue.get(), IntQueue::queue_exception);  // never what was put after shutdown
}

}  // namespace
