#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <initializer_list>

#include "brix/stop_signals.h"

namespace brix {

namespace {

// The self-pipe between the signal handler and the stop thread: made once, kept for the life of
// the process (a signal handler may still hold the write end's number when an object goes), and
// close-on-exec at both ends, so that no child process inherits it.
int pipe_ends[2] = {-1, -1};

// True while a StopSignals object lives; outside that the handler drops the signal, as the
// blocked signals of earlier versions were left pending for ever. Lock-free, so the handler may
// read it.
std::atomic<bool> forwarding{false};

// The process that made the pipe: the daemon. A child that a plug-in forks without executing a
// program keeps the handler and the pipe, but not this number.
std::atomic<pid_t> owner{0};

// The byte that tells the stop thread to end; signal numbers are never 0.
constexpr char kQuit = 0;

void install(int sig, void (*action)(int));

// The signal handler does only what is async-signal safe: one non-blocking write of the signal
// number. A full pipe already holds stop requests, so a byte that does not fit is not missed.
// In any other process than the daemon the signal takes its default action, as it would there
// without this handler, and never reaches the daemon. A child made by fork has the default back
// already (default_stop_signals_in_child); for one made otherwise the handler puts the default
// back and raises the signal again, which comes once the handler returns.
extern "C" void forward_stop_signal(int sig) {
    if (::getpid() != owner.load()) {
        install(sig, SIG_DFL);
        ::raise(sig);
        return;
    }
    if (!forwarding.load()) return;
    const int saved_errno = errno;
    const char byte = static_cast<char>(sig);
    const ssize_t ignored = ::write(pipe_ends[1], &byte, 1);
    (void)ignored;
    errno = saved_errno;
}

// In a child forked without a program of its own: the stop signals get their default action
// back at once, as a program executed there would have them.
extern "C" void default_stop_signals_in_child() {
    for (const int sig : {SIGINT, SIGTERM}) {
        struct sigaction current {};
        if (::sigaction(sig, nullptr, &current) == 0 && current.sa_handler == &forward_stop_signal)
            install(sig, SIG_DFL);
    }
}

bool make_pipe() {
    if (pipe_ends[0] >= 0 && owner.load() == ::getpid()) return true;
    static const bool registered =
        pthread_atfork(nullptr, nullptr, &default_stop_signals_in_child) == 0;
    (void)registered;
    if (::pipe2(pipe_ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        pipe_ends[0] = pipe_ends[1] = -1;
        return false;
    }
    owner = ::getpid();
    return true;
}

// Drops bytes left over from an earlier object (a signal that came as it ended).
void drain_pipe() {
    char bytes[64];
    while (::read(pipe_ends[0], bytes, sizeof bytes) > 0) {
    }
}

// Waits for the next byte on the non-blocking read end; -1 when the pipe fails.
int next_byte() {
    for (;;) {
        char byte = 0;
        const ssize_t count = ::read(pipe_ends[0], &byte, 1);
        if (count == 1) return static_cast<unsigned char>(byte);
        if (count == 0 || (errno != EAGAIN && errno != EINTR)) return -1;
        pollfd entry{};
        entry.fd = pipe_ends[0];
        entry.events = POLLIN;
        ::poll(&entry, 1, -1);  // an interruption or an error shows in the next read
    }
}

void install(int sig, void (*action)(int)) {
    struct sigaction handling {};
    handling.sa_handler = action;
    sigemptyset(&handling.sa_mask);
    // Calls that a signal interrupts resume where the system can; the daemon resumes the others
    // (EINTR) itself.
    handling.sa_flags = SA_RESTART;
    ::sigaction(sig, &handling, nullptr);
}

void change_stop_signals_here(int how) {
    sigset_t stop_set;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGINT);
    sigaddset(&stop_set, SIGTERM);
    pthread_sigmask(how, &stop_set, nullptr);
}

}  // namespace

// The stop thread reads signal numbers from the pipe and calls the handler with each one, until
// the quitting byte comes.
struct StopSignals::Waiter {
    void (*handler)(int);
    pthread_t thread;
    bool running = false;

    static void* wait(void* arg) {
        auto* self = static_cast<Waiter*>(arg);
        for (int byte; (byte = next_byte()) > 0;) {
            if (byte == SIGINT || byte == SIGTERM) self->handler(byte);
        }
        return nullptr;
    }
};

StopSignals::StopSignals(void (*handler)(int)) : waiter(new Waiter) {
    waiter->handler = handler;
    if (!make_pipe()) return;
    drain_pipe();
    forwarding = true;
    // Also replaces SIG_IGN: a program started in the background by a non-interactive shell
    // inherits SIGINT ignored, and must still stop on it.
    install(SIGINT, &forward_stop_signal);
    install(SIGTERM, &forward_stop_signal);
    // A supervisor may start the daemon with the stop signals blocked, a mask every thread
    // inherits: take them on this thread, and so on the threads it starts from now on (the stop
    // thread among them), whose children then start with a clean mask too. A signal that was
    // already pending comes now, to the handler, and waits in the pipe for the stop thread.
    change_stop_signals_here(SIG_UNBLOCK);
    waiter->running = pthread_create(&waiter->thread, nullptr, &Waiter::wait, waiter) == 0;
    if (!waiter->running) forwarding = false;  // nothing would read the pipe
}

StopSignals::~StopSignals() {
    // The handler stays installed and drops what comes from now on; a child process started
    // later gets the default action back when it executes its program.
    forwarding = false;
    if (waiter->running) {
        const char quit = kQuit;
        // A pipe full of signal bytes empties as the stop thread reads them.
        while (::write(pipe_ends[1], &quit, 1) < 0 && (errno == EINTR || errno == EAGAIN)) {
            pollfd entry{};
            entry.fd = pipe_ends[1];
            entry.events = POLLOUT;
            ::poll(&entry, 1, -1);
        }
        pthread_join(waiter->thread, nullptr);
    }
    delete waiter;
}

void StopSignals::leave_to_other_threads() { change_stop_signals_here(SIG_BLOCK); }

void StopSignals::take_on_this_thread_again() { change_stop_signals_here(SIG_UNBLOCK); }

}  // namespace brix
