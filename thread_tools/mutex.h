// A POSIX mutex owned by one object. Public header of the thread_tools library.
#pragma once

#include <pthread.h>

namespace thread_tools {

// Holds exactly one pthread_mutex_t, so the object's address is the mutex's address.
// Not recursive: a thread must not lock it twice. Not copyable (a POSIX mutex cannot be copied).
class Mutex {
  public:
    // Initialises the mutex with default attributes.
    Mutex();
    // Destroys the mutex; it must be unlocked and no thread may be waiting on it.
    ~Mutex();

    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // Blocks until the calling thread holds the mutex. Returns the pthread result (0 on success).
    int lock();
    // Releases the mutex, which the calling thread must hold. Returns the pthread result.
    int unlock();
    // The held mutex, for Condition::wait. Valid for the object's lifetime.
    pthread_mutex_t* get_mutex();

  private:
    pthread_mutex_t mutex;
};

}  // namespace thread_tools
