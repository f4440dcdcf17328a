#include "thread_tools/condition.h"

namespace thread_tools {

Condition::Condition() { pthread_cond_init(&cond, nullptr); }

Condition::~Condition() { pthread_cond_destroy(&cond); }

void Condition::wait(Mutex& mutex) { pthread_cond_wait(&cond, mutex.get_mutex()); }

void Condition::notify_all() { pthread_cond_broadcast(&cond); }

}  // namespace thread_tools
