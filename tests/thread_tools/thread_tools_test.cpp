// Thread, and the blocking Queue driven from plain threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/support/wait_until.h"
#include "thread_tools/queue.h"
#include "thread_tools/thread.h"

namespace {

using brix_test::wait_until;
using IntQueue = thread_tools::Queue<int>;
using thread_tools::Thread;

struct RecordingThread : Thread {
    void run() override { ran_on = std::this_thread::get_id(); }
    std::thread::id ran_on;
};

constexpr int kShutdown = -2;
constexpr std::chrono::milliseconds kBriefly(50);  // for negative checks only

TEST(Thread, RunsTheSubclassOnANewThreadAndJoinsOnlyAThreadThatRuns) {
    // Deleted through the base: the build fails if its destructor is not virtual.
    auto* recording = new RecordingThread;
    Thread* thread = recording;
    EXPECT_EQ(thread->join(), ESRCH);  // never started
    ASSERT_EQ(thread->start(), 0);
    EXPECT_EQ(thread->start(), EINVAL);  // the first thread stays the one to join
    EXPECT_EQ(thread->join(), 0);
    EXPECT_NE(recording->ran_on, std::thread::id());
    EXPECT_NE(recording->ran_on, std::this_thread::get_id());
    EXPECT_EQ(thread->join(), ESRCH);
    EXPECT_EQ(thread->start(), 0);  // once joined, the object may run a thread again
    EXPECT_EQ(thread->join(), 0);
    delete thread;

    Thread base;  // its run does nothing
    EXPECT_EQ(base.start(), 0);
    EXPECT_EQ(base.join(), 0);
}

TEST(Queue, HandsOutInOrderBlocksWhileEmptyAndShutdownReleasesEveryTakerForGood) {
    IntQueue queue;
    for (int i : {1, 2, 3}) queue.put(i);
    for (int i : {1, 2, 3}) EXPECT_EQ(queue.get(), i);

    // Three takers block on the empty queue; a put wakes them all, one takes the element and the
    // others wait again, until the shutdown releases them.
    std::atomic<int> entered{0}, ended{0}, sum{0};
    std::vector<std::thread> takers;
    for (int i = 0; i < 3; ++i) {
        takers.emplace_back([&] {
            ++entered;
            try {
                sum += queue.get();
            } catch (const IntQueue::queue_exception&) {
                sum += kShutdown;
            }
            ++ended;
        });
    }
    EXPECT_TRUE(wait_until([&] { return entered == 3; }));
    EXPECT_FALSE(wait_until([&] { return ended > 0; }, kBriefly));
    queue.put(42);
    EXPECT_TRUE(wait_until([&] { return ended > 0; })) << "a put must wake a blocked taker";
    EXPECT_FALSE(wait_until([&] { return ended > 1; }, kBriefly));
    queue.shutdown();
    EXPECT_TRUE(wait_until([&] { return ended == 3; }));
    for (int i = 0; i < 3; ++i) queue.put(0);  // wakes takers the shutdown did not
    for (std::thread& taker : takers) taker.join();
    EXPECT_EQ(sum, 42 + 2 * kShutdown);

    // Elements put after shutdown are never handed out; a second shutdown changes nothing.
    EXPECT_THROW(queue.get(), IntQueue::queue_exception);
    queue.shutdown();
    EXPECT_FALSE(queue.is_running());
}

TEST(Queue, ManyProducersAndConsumersDeliverEveryElementOnce) {
    constexpr int kThreads = 4;
    constexpr int kPerProducer = 2000;
    IntQueue queue;
    std::atomic<int> taken{0};
    std::vector<std::atomic<int>> times_taken(kThreads * kPerProducer);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        // Consumers loop as the daemon's workers do; producers put t * kPerProducer upwards.
        threads.emplace_back([&] {
            try {
                while (queue.is_running()) {
                    ++times_taken[static_cast<std::size_t>(queue.get())];
                    ++taken;
                }
            } catch (const IntQueue::queue_exception&) {
            }
        });
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerProducer; ++i) queue.put(t * kPerProducer + i);
        });
    }
    EXPECT_TRUE(wait_until([&] { return taken == kThreads * kPerProducer; }));
    queue.shutdown();
    for (std::thread& thread : threads) thread.join();
    for (std::size_t i = 0; i < times_taken.size(); ++i) ASSERT_EQ(times_taken[i], 1) << i;
}

}  // namespace
