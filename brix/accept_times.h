// When each queued connection was accepted. Internal to the daemon core.
#pragma once

#include <chrono>
#include <mutex>
#include <unordered_map>

namespace brix {

// The accepting thread records each descriptor as it queues it; the worker that takes the
// descriptor looks its time up. So a connection's request-line deadline counts from the moment it
// was accepted, not from the moment a worker got to it: clients that send nothing cannot make
// those queued behind them wait for their deadlines one after another. Thread safe.
class AcceptTimes {
  public:
    using Clock = std::chrono::steady_clock;

    // Remembers that `fd` was accepted at `when`.
    void record(int fd, Clock::time_point when);

    // When `fd` was accepted, and forgets it; now, when it was not recorded.
    Clock::time_point take(int fd);

  private:
    std::mutex lock;
    std::unordered_map<int, Clock::time_point> times;
};

}  // namespace brix
