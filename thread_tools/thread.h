// Base class of the program's own threads. Public header of the thread_tools library.
#pragma once

#include <pthread.h>

namespace thread_tools {

// A thread whose body is the virtual `run`. Derive, override `run`, create with `new`, call
// `start` once, then `join` before deleting: the object must outlive its thread, and the
// destructor neither joins nor detaches. `start`, `join` and the destructor are called by the
// owner's thread only; `run` runs on the new thread.
class Thread {
  public:
    // Sets up the object only; no thread exists until `start`.
    Thread();
    // Releases nothing. Deleting through a Thread* runs the subclass's destructor.
    virtual ~Thread();

    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // The thread's body. The base version does nothing. Must not let an exception escape.
    virtual void run();

    // Creates the thread (default attributes), which calls `run` on this object.
    // Returns the pthread_create result (0 on success); EINVAL if already started and not joined.
    int start();
    // Waits for the thread to end and discards its exit value. Returns the pthread_join result,
    // or ESRCH at once when no thread is running from this object (never started, start failed,
    // or already joined).
    int join();

  private:
    pthread_t handle;  // identity of the running thread; meaningful only while `started`
    bool started;      // a thread was created by `start` and has not been joined yet
};

// Entry function handed to pthread_create by `Thread::start`: calls the virtual `run` of the
// Thread* passed as `arg` and returns null once it returns.
void* thread_function(void* arg);

}  // namespace thread_tools
