// Delivery of the stop signals (SIGINT and SIGTERM) to the daemon's stop handler.
// stop_signals_posix.cpp and stop_signals_win32.cpp implement it. Internal to the daemon core.
#pragma once

namespace brix {

// While an object of this class lives, SIGINT and SIGTERM call `handler` with the signal number.
//
// On POSIX the handler runs on a thread of its own in ordinary thread context (it may take locks
// and write trace lines). No process-wide signal mask is involved: the signal handler, installed
// with SA_RESTART for the whole process, only writes the signal number to a close-on-exec pipe that
// this thread reads, so it does not matter which thread the system picks to take a signal, and
// threads that plug-ins start, before or after, need block nothing; child processes start with the
// mask their starter had. A signal before construction gets the action the process had before
// (the handler replaces an inherited SIG_IGN); one after destruction is dropped. Stop signals
// blocked when the process started are taken again by the constructing thread and every thread
// it starts later. In a child process that inherits the handler without executing a program (a
// plug-in's fork), a stop signal takes its default action there and never reaches the daemon.
// Construct and destroy on one thread, one object at a time.
//
// On Windows a console control handler takes Ctrl+C, Ctrl+Break and the console's close event
// (as SIGINT; log-off and shut-down events keep the system's handling, so a service is not
// stopped by a user's log-off), and the runtime's `signal` handler SIGTERM. Every one of them after
// the first is harmless: the handlers stay in place for the life of the process and, once the
// object is destroyed, swallow what comes; a close event waits for that, since the system ends the
// process when its handler returns.
class StopSignals {
  public:
    explicit StopSignals(void (*handler)(int));
    ~StopSignals();

    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Keeps the stop signals away from the calling thread until the matching call below: other
    // threads take them instead. For the accepting thread, around its loop: a thread checker's
    // runtime runs a signal handler that comes while its thread waits in accept only once accept
    // returns, which would hold a stop up until the next client. Start no thread in between (it
    // would inherit the block). Nothing to do on Windows.
    static void leave_to_other_threads();
    static void take_on_this_thread_again();

  private:
    struct Waiter;
    Waiter* waiter;
};

}  // namespace brix
