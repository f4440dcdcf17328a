#include "thread_tools/thread.h"

#include <cerrno>

namespace thread_tools {

void* thread_function(void* arg) {
    static_cast<Thread*>(arg)->run();
    return nullptr;
}

Thread::Thread() : handle(), started(false) {}

Thread::~Thread() {}

void Thread::run() {}

int Thread::start() {
    // A second start would overwrite `handle` and leave the first thread unjoinable.
    if (started) return EINVAL;
    const int result = pthread_create(&handle, nullptr, &thread_function, this);
    started = (result == 0);
    return result;
}

int Thread::join() {
    // Joining a thread that was never created is undefined (and crashes on some systems), so a
    // failed start or a second join ends here.
    if (!started) return ESRCH;
    void* exit_value = nullptr;
    const int result = pthread_join(handle, &exit_value);
    started = false;
    return result;
}

}  // namespace thread_tools
