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

enum Outcome { kWaiting, kValue, kShutdown };

// Started threads that each take one element, recording the element or the queue's exception.
struct Takers {
    Takers(IntQueue& queue, int count) : outcomes(count), values(count) {
        for (int i = 0; i < count; ++i) {
            threads.push_back(std::make_unique<LambdaThread>([this, &queue, i] {
                ++entered;
                try {
                    values[i] = queue.get();
                    outcomes[i] = kValue;
                } catch (const IntQueue::queue_exception&) {
                    outcomes[i] = kShutdown;
                }
            }));
            EXPECT_EQ(threads.back()->start(), 0);
        }
        // Negative check only: an empty running queue hands nothing out.
        EXPECT_TRUE(wait_until([&] { return entered == count; }));
        EXPECT_FALSE(wait_until([&] { return AnyEnded(); }, std::chrono::milliseconds(50)));
    }
    // Whether every taker has ended with `outcome` before the deadline.
    bool All(Outcome outcome, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
        return wait_until(
            [&] {
                return std::all_of(outcomes.begin(), outcomes.end(),
                                   [outcome](const std::atomic<int>& o) { return o == outcome; });
            },
            deadline);
    }
    bool AnyEnded() {
        return std::any_of(outcomes.begin(), outcomes.end(),
                           [](const std::atomic<int>& o) { return o != kWaiting; });
    }
    void Join() {
        for (auto& thread : threads) thread->join();
    }

    std::atomic<int> entered{0};
    std::vector<std::atomic<int>> outcomes;
    std::vector<int> values;  // read after Join
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
    EXPECT_TRUE(wait_until([&] { return takers.AnyEnded(); }));
    EXPECT_FALSE(takers.All(kValue, std::chrono::milliseconds(50)));
    queue.put(43);
    const bool woken = takers.All(kValue);
    if (!woken) queue.shutdown();  // releases takers a put did not wake
    takers.Join();
    EXPECT_TRUE(woken) << "a put must wake a blocked taker";
    std::sort(takers.values.begin(), takers.values.end());
    EXPECT_EQ(takers.values, (std::vector<int>{42, 43}));
}

TEST(Queue, ShutdownReleasesEveryBlockedTakerAndIsFinal) {
    IntQueue queue;
    Takers takers(queue, 3);
    queue.shutdown();
    const bool released = takers.All(kShutdown);
    for (int i = 0; !released && i < 3; ++i) queue.put(0);  // wakes takers the shutdown did not
    takers.Join();
    EXPECT_TRUE(released) << "shutdown must throw queue_exception in every blocked get";
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

TEST(Queue, ManyProducersAndConsumersDeliverEveryElementOnceInOrder) {
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
    for (const std::vector<int>& mine : got) {
        // One consumer takes at increasing queue positions: each producer's elements reach it in
        // the order they were put.
        std::vector<int> last(kThreads, -1);
        for (int v : mine) {
            EXPECT_GT(v, last[v / kPerProducer]);
            last[v / kPerProducer] = v;
        }
        all.insert(all.end(), mine.begin(), mine.end());
    }
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), static_cast<size_t>(kThreads * kPerProducer));
    for (int i = 0; i < kThreads * kPerProducer; ++i) ASSERT_EQ(all[i], i);
}

}  // namespace
