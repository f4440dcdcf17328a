#include "thread_tools/mutex.h"

namespace thread_tools {

Mutex::Mutex() { pthread_mutex_init(&mutex, nullptr); }

Mutex::~Mutex() { pthread_mutex_destroy(&mutex); }

int Mutex::lock() { return pthread_mutex_lock(&mutex); }

int Mutex::unlock() { return pthread_mutex_unlock(&mutex); }

pthread_mutex_t* Mutex::get_mutex() { return &mutex; }

}  // namespace thread_tools
