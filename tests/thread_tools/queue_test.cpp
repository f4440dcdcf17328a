#include "thread_tools/queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "tests/support/wait_until.h"
#include "thread_tools/thread.h"

using brix_test::wait_until;
using thread_tools::Queue;
using namespace std::chrono_literals;

namespace {

using IntQueue = Queue<int>;

// A thread that takes one element, recording the element or the queue's exception.
class Taker : public thread_tools::Thread {
  public:
    explicit Taker(IntQueue* queue) : queue(queue) {}

    void run() override {
        entered = true;
        try {
            value = queue->get();
            outcome = kValue;
        } catch (const IntQueue::queue_exception&) {
            outcome = kShutdown;
        }
    }

    enum Outcome { kNone, kValue, kShutdown };
    std::atomic<bool> entered{false};
    std::atomic<int> outcome{kNone};
    int value = 0;  // read only after join

  private:
    IntQueue* queue;
};

// Takes elements until the queue stops, the way the daemon's workers do.
class Consumer : public thread_tools::Thread {
  public:
    Consumer(IntQueue* queue, std::atomic<int>* taken) : queue(queue), taken(taken) {}

    void run() override {
        while (queue->is_running()) {
            try {
                got.push_back(queue->get());
                ++*taken;
            } catch (const IntQueue::queue_exception&) {
                ++shutdowns;
            }
        }
    }

    std::vector<int> got;  // read only after join
    int shutdowns = 0;

  private:
    IntQueue* queue;
    std::atomic<int>* taken;
};

// Puts `count` values first * count .. first * count + count - 1, in increasing order.
class Producer : public thread_tools::Thread {
  public:
    Producer(IntQueue* queue, int first, int count) : queue(queue), first(first), count(count) {}

    void run() override {
        for (int i = 0; i < count; ++i) queue->put(first * count + i);
    }

  private:
    IntQueue* queue;
    int first;
    int count;
};

}  // namespace

TEST(Queue, HandsOutElementsFirstInFirstOut) {
    IntQueue queue;
    EXPECT_TRUE(queue.is_running());
    queue.put(1);
    queue.put(2);
    queue.put(3);
    EXPECT_EQ(queue.get(), 1);
    EXPECT_EQ(queue.get(), 2);
    EXPECT_EQ(queue.get(), 3);
    EXPECT_TRUE(queue.is_running());
}

TEST(Queue, BlockedGetReturnsElementPutByAnotherThread) {
    IntQueue queue;
    Taker taker(&queue);
    ASSERT_EQ(taker.start(), 0);
    ASSERT_TRUE(wait_until([&] { return taker.entered.load(); }));
    // Negative check only: an empty running queue must not hand anything out.
    EXPECT_FALSE(wait_until([&] { return taker.outcome != Taker::kNone; }, 100ms));

    queue.put(42);
    taker.join();
    EXPECT_EQ(taker.outcome, Taker::kValue);
    EXPECT_EQ(taker.value, 42);
}

TEST(Queue, ShutdownReleasesEveryBlockedTakerWithTheException) {
    IntQueue queue;
    std::vector<std::unique_ptr<Taker>> takers;
    for (int i = 0; i < 3; ++i) {
        takers.push_back(std::make_unique<Taker>(&queue));
        ASSERT_EQ(takers.back()->start(), 0);
    }
    for (auto& taker : takers) ASSERT_TRUE(wait_until([&] { return taker->entered.load(); }));
    EXPECT_FALSE(wait_until(
        [&] {
            return std::any_of(takers.begin(), takers.end(),
                               [](const auto& t) { return t->outcome != Taker::kNone; });
        },
        100ms));

    queue.shutdown();
    for (auto& taker : takers) {
        taker->join();
        EXPECT_EQ(taker->outcome, Taker::kShutdown);
    }
    EXPECT_FALSE(queue.is_running());
}

TEST(Queue, ShutdownIsFinalEvenWithElementsLeft) {
    IntQueue queue;
    queue.put(1);
    queue.put(2);
    queue.shutdown();
    EXPECT_FALSE(queue.is_running());
    EXPECT_THROW(queue.get(), IntQueue::queue_exception);
    EXPECT_THROW(queue.get(), IntQueue::queue_exception);

    // A put after shutdown returns normally; its element is never handed out.
    queue.put(3);
    EXPECT_THROW(queue.get(), IntQueue::queue_exception);

    // A second shutdown changes nothing.
    queue.shutdown();
    EXPECT_FALSE(queue.is_running());
    EXPECT_THROW(queue.get(), IntQueue::queue_exception);
}

TEST(Queue, ManyProducersAndConsumersDeliverEveryElementOnce) {
    constexpr int kProducers = 4;
    constexpr int kConsumers = 4;
    constexpr int kPerProducer = 2000;
    constexpr int kTotal = kProducers * kPerProducer;

    IntQueue queue;
    std::atomic<int> taken{0};
    std::vector<std::unique_ptr<Consumer>> consumers;
    for (int i = 0; i < kConsumers; ++i) {
        consumers.push_back(std::make_unique<Consumer>(&queue, &taken));
        ASSERT_EQ(consumers.back()->start(), 0);
    }
    std::vector<std::unique_ptr<Producer>> producers;
    for (int i = 0; i < kProducers; ++i) {
        producers.push_back(std::make_unique<Producer>(&queue, i, kPerProducer));
        ASSERT_EQ(producers.back()->start(), 0);
    }
    for (auto& producer : producers) producer->join();
    EXPECT_TRUE(wait_until([&] { return taken == kTotal; }, 60s));

    queue.shutdown();
    std::vector<int> all;
    for (auto& consumer : consumers) {
        consumer->join();
        // A consumer that was taking when the queue stopped leaves without the exception.
        EXPECT_LE(consumer->shutdowns, 1);
        // One consumer takes at increasing queue positions, so each producer's elements reach it
        // in the order they were put.
        std::vector<int> last(kProducers, -1);
        for (int v : consumer->got) {
            EXPECT_GT(v, last[v / kPerProducer]);
            last[v / kPerProducer] = v;
        }
        all.insert(all.end(), consumer->got.begin(), consumer->got.end());
    }
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), static_cast<size_t>(kTotal));
    for (int i = 0; i < kTotal; ++i) ASSERT_EQ(all[i], i);
}
