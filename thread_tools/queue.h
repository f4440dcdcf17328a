// Unbounded blocking first-in first-out queue. Public header of the thread_tools library.
#pragma once

#include <list>
#include <mutex>

#include "thread_tools/condition.h"
#include "thread_tools/mutex.h"

namespace thread_tools {

// Any number of threads may `put` and `get` at once; every operation is thread safe.
// The queue runs from construction until `shutdown`, with no way back. After shutdown `get`
// throws `queue_exception` even if elements remain, and `put` still appends elements that are
// never handed out. `shutdown_when_drained` stops it more gently: what is queued is still handed
// out, and the queue stops once it is empty. Waking is by broadcast: each `put` wakes every waiting
// taker, one of which takes the element while the others wait again.
template <typename T>
class Queue {
  public:
    // Thrown by value from `get` once the queue has been shut down. Carries nothing.
    class queue_exception {};

    Queue() : running(true), draining(false) {}
    // Drops any elements left; no thread may still be using the queue.
    ~Queue() {}

    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    // True until `shutdown`, or until a draining queue has handed out its last element. A caller
    // that sees true may still have its next `get` throw.
    bool is_running() {
        std::lock_guard<Mutex> guard(mutex);
        return running;
    }

    // Appends a copy of `item` at the back and wakes every waiting taker. Never blocks beyond
    // the lock and does not look at whether the queue is running.
    void put(const T& item) {
        std::lock_guard<Mutex> guard(mutex);
        items.push_back(item);
        cond.notify_all();
    }

    // Removes and returns the oldest element, blocking while the queue is empty and running.
    // Throws queue_exception (with the lock released) once the queue is shut down, whether or not
    // elements remain, and once a draining queue is empty.
    T get() {
        std::lock_guard<Mutex> guard(mutex);
        while (items.empty() && running) cond.wait(mutex);
        if (!running) throw queue_exception();
        T item = items.front();
        items.pop_front();
        if (draining && items.empty()) stop();
        return item;
    }

    // Stops the queue and wakes every waiting taker, which then throws. Idempotent.
    void shutdown() {
        std::lock_guard<Mutex> guard(mutex);
        running = false;
        cond.notify_all();
    }

    // Stops the queue once it is empty: `get` goes on handing out the elements queued, and the
    // taker of the last one stops the queue, so that every later or waiting `get` throws and
    // `is_running` turns false. For a producer that has put its last element. Idempotent;
    // `shutdown` still stops the queue at once.
    void shutdown_when_drained() {
        std::lock_guard<Mutex> guard(mutex);
        draining = true;
        if (items.empty()) stop();
    }

  private:
    // Caller holds mutex.
    void stop() {
        running = false;
        cond.notify_all();
    }

    Mutex mutex;         // guards items, running and draining
    Condition cond;      // waited on by get; broadcast by put and shutdown
    std::list<T> items;  // waiting elements, oldest first
    bool running;        // true from construction until shutdown, or until drained
    bool draining;       // shutdown_when_drained was called: stop once items is empty
};

}  // namespace thread_tools
