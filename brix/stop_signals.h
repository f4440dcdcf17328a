// Delivery of the stop signals (SIGINT and SIGTERM) to the daemon's stop handler.
// stop_signals_posix.cpp and stop_signals_win32.cpp implement it. Internal to the daemon core.
#pragma once

namespace brix {

// While an object of this class lives, SIGINT and SIGTERM call `handler` with the signal number.
//
// On POSIX the handler runs on a thread of its own in ordinary thread context (it may take locks
// and write trace lines): the constructor blocks both signals in the calling thread, and so in
// every thread created from it afterwards, and starts a thread that waits for them. Construct it
// before starting any other thread. The destructor ends that thread; the signals stay blocked.
// On Windows the runtime's `signal` handlers are installed and left in place.
class StopSignals {
  public:
    explicit StopSignals(void (*handler)(int));
    ~StopSignals();

    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

  private:
    struct Waiter;
    Waiter* waiter;
};

}  // namespace brix
