#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <csignal>

#include "brix/stop_signals.h"

namespace brix {

// The waiting thread takes SIGINT and SIGTERM with sigwait and calls the handler; SIGUSR2, sent by
// the destructor, ends it.
struct StopSignals::Waiter {
    void (*handler)(int);
    sigset_t set;
    pthread_t thread;
    std::atomic<bool> quitting{false};

    static void* wait(void* arg) {
        auto* self = static_cast<Waiter*>(arg);
        for (;;) {
            int sig = 0;
            if (sigwait(&self->set, &sig) != 0) continue;
            if (self->quitting) return nullptr;
            if (sig == SIGINT || sig == SIGTERM) self->handler(sig);
        }
    }
};

StopSignals::StopSignals(void (*handler)(int)) : waiter(new Waiter) {
    waiter->handler = handler;
    sigemptyset(&waiter->set);
    sigaddset(&waiter->set, SIGINT);
    sigaddset(&waiter->set, SIGTERM);
    sigaddset(&waiter->set, SIGUSR2);
    // A program started in the background by a non-interactive shell inherits SIGINT ignored, and
    // an ignored signal is discarded rather than left pending for sigwait: take the default back
    // (harmless, since the signals stay blocked and only the waiting thread takes them).
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    pthread_sigmask(SIG_BLOCK, &waiter->set, nullptr);
    pthread_create(&waiter->thread, nullptr, &Waiter::wait, waiter);
}

StopSignals::~StopSignals() {
    waiter->quitting = true;
    pthread_kill(waiter->thread, SIGUSR2);
    pthread_join(waiter->thread, nullptr);
    delete waiter;
}

}  // namespace brix
