// A POSIX condition variable owned by one object. Public header of the thread_tools library.
#pragma once

#include <pthread.h>

#include "thread_tools/mutex.h"

namespace thread_tools {

// Holds exactly one pthread_cond_t. Waking is by broadcast only. Not copyable.
class Condition {
  public:
    // Initialises the condition variable with default attributes.
    Condition();
    // Destroys the condition variable; no thread may be waiting on it.
    ~Condition();

    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;

    // Atomically releases `mutex` (which the caller holds locked) and waits for a broadcast;
    // holds `mutex` again on return. May return spuriously: callers re-test their predicate.
    void wait(Mutex& mutex);
    // Wakes every thread waiting on this condition. Thread safe.
    void notify_all();

  private:
    pthread_cond_t cond;
};

}  // namespace thread_tools
