// Thread and the blocking Queue, with thread bodies given as lambdas.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "tests/support/wait_until.h"
#include "thread_tools/queue.h"
#include "thread_tools/thread.h"

namespace {

using brix_test::wait_until;
using IntQueue = thread_tools::Queue<int>;
using thread_tools::Thread;

// A Thread whose body, and optionally its destructor, are lambdas.
class LambdaThread : public Thread {
  public:
    explicit LambdaThread(std::function<void()> body, std::function<void()> on_delete = nullptr)
        : body(std::move(body)), on_delete(std::move(on_delete)) {}
    ~LambdaThread() override {
        if (on_delete) on_delete();
    }
    void run() override { body(); }

  private:
    std::function<void()> body;
    std::function<void()> on_delete;
};

constexpr int kWaiting = -1;
constexpr int kShutdown = -2;

// Started threads that each take one element. Joined on destruction: the test must release them.
struct Takers {
    Takers(IntQueue& queue, int count) : got(count) {
        for (std::atomic<int>& slot : got) {
            slot = kWaiting;
            threads.push_back(std::make_unique<LambdaThread>([&queue, &slot, this] {
                ++entered;
                try {
                    slot = queue.get();
                } catch (const IntQueue::queue_exception&) {
                    slot = kShutdown;
                }
            }));
            EXPECT_EQ(threads.back()->start(), 0);
        }
        // Negative check only: an empty running queue hands nothing out.
        EXPECT_TRUE(wait_until([&] { return entered == count; }));
        EXPECT_FALSE(Ended(1, std::chrono::milliseconds(50)));
    }
    ~Takers() {
        for (auto& thread : threads) thread->join();
    }
    // Whether `count` takers have ended before the deadline.
    bool Ended(int count, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
        return wait_until(
            [&] {
                return std::count_if(got.begin(), got.end(), [](int g) { return g != kWaiting; }) >=
                       count;
            },
            deadline);
    }

    std::atomic<int> entered{0};
    std::vector<std::atomic<int>> got;  // kWaiting, the element taken, or kShutdown
    std::vector<std::unique_ptr<LambdaThread>> threads;
};

TEST(Thread, RunsTheSubclassOnANewThreadAndDeletesThroughTheBase) {
    std::thread::id ran_on;
    bool deleted = false;
    Thread* thread =
        new LambdaThread([&] { ran_on = std::this_thread::get_id(); }, [&] { deleted = true; });
    ASSERT_EQ(thread->start(), 0);
    EXPECT_EQ(thread->join(), 0);
    EXPECT_NE(ran_on, std::thread::id());
    EXPECT_NE(ran_on, std::this_thread::get_id());
    delete thread;
    EXPECT_TRUE(deleted);

    Thread base;  // its run does nothing
    EXPECT_EQ(base.start(), 0);
    EXPECT_EQ(base.join(), 0);
}

TEST(Thread, JoinsOnlyAThreadThatRuns) {
    Thread thread;
    EXPECT_EQ(thread.join(), ESRCH);  // never started
    ASSERT_EQ(thread.start(), 0);
    EXPECT_EQ(thread.start(), EINVAL);  // the first thread stays the one to join
    EXPECT_EQ(thread.join(), 0);
    EXPECT_EQ(thread.join(), ESRCH);
    EXPECT_EQ(thread.start(), 0);  // once joined, the object may run a thread again
    EXPECT_EQ(thread.join(), 0);
}

TEST(Queue, HandsOutFirstInFirstOutAndBlocksWhileEmpty) {
    IntQueue queue;
    queue.put(1);
    queue.put(2);
    queue.put(3);
    EXPECT_EQ(queue.get(), 1);
    EXPECT_EQ(queue.get(), 2);
    EXPECT_EQ(queue.get(), 3);
    EXPECT_TRUE(queue.is_running());

    // Each put wakes every taker; one takes the element and the other waits again.
    Takers takers(queue, 2);
    queue.put(42);
    EXPECT_TRUE(takers.Ended(1)) << "a put must wake a blocked taker";
    EXPECT_FALSE(takers.Ended(2, std::chrono::milliseconds(50)));
    queue.put(43);
    EXPECT_TRUE(takers.Ended(2));
    queue.shutdown();  // releases a taker a put did not wake
    EXPECT_EQ(takers.got[0] + takers.got[1], 42 + 43);
}

TEST(Queue, ShutdownReleasesEveryBlockedTakerAndIsFinal) {
    IntQueue queue;
    {
        Takers takers(queue, 3);
        queue.shutdown();
        EXPECT_TRUE(takers.Ended(3));
        for (const std::atomic<int>& g : takers.got) EXPECT_EQ(g, kShutdown);
        for (int i = 0; i < 3; ++i) queue.put(0);  // wakes takers the shutdown did not
    }
    EXPECT_FALSE(queue.is_running());

    // Elements left, or put after shutdown, are never handed out; a second shutdown changes
    // nothing.
    IntQueue stopped;
    stopped.put(1);
    stopped.shutdown();
    EXPECT_THROW(stopped.get(), IntQueue::queue_exception);
    stopped.put(2);
    stopped.shutdown();
    EXPECT_FALSE(stopped.is_running());
    EXPECT_THROW(stopped.get(), IntQueue::queue_exception);
}

TEST(Queue, ManyProducersAndConsumersDeliverEveryElementOnce) {
    constexpr int kThreads = 4;
    constexpr int kPerProducer = 2000;
    IntQueue queue;
    std::atomic<int> taken{0};
    std::vector<std::vector<int>> got(kThreads);
    std::vector<std::unique_ptr<LambdaThread>> threads;
    for (int t = 0; t < kThreads; ++t) {
        // Consumers loop as the daemon's workers do; producers put t * kPerProducer upwards.
        threads.push_back(std::make_unique<LambdaThread>([&, t] {
            try {
                while (queue.is_running()) {
                    got[t].push_back(queue.get());
                    ++taken;
                }
            } catch (const IntQueue::queue_exception&) {
            }
        }));
        threads.push_back(std::make_unique<LambdaThread>([&, t] {
            for (int i = 0; i < kPerProducer; ++i) queue.put(t * kPerProducer + i);
        }));
    }
    for (auto& thread : threads) ASSERT_EQ(thread->start(), 0);
    EXPECT_TRUE(wait_until([&] { return taken == kThreads * kPerProducer; }));
    queue.shutdown();
    for (auto& thread : threads) thread->join();

    std::vector<int> all;
    for (const std::vector<int>& mine : got) all.insert(all.end(), mine.begin(), mine.end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), static_cast<size_t>(kThreads * kPerProducer));
    for (int i = 0; i < kThreads * kPerProducer; ++i) ASSERT_EQ(all[i], i);
}

}  // namespace
