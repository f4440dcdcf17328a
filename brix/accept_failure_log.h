// How often the accept loop reports that accepting fails. Internal to the daemon core.
#pragma once

#include <chrono>

namespace brix {

// While accepting keeps failing (descriptors exhausted, say), the loop retries every 100 ms; a
// line for each try would flood the trace. This decides which failures get a line: the first, then
// at most one per interval, each line counting the failures since the line before it.
// Accepting thread only.
class AcceptFailureLog {
  public:
    using Clock = std::chrono::steady_clock;

    explicit AcceptFailureLog(Clock::duration interval = std::chrono::seconds(1));

    // Counts a failure at `now`. Returns how many failures a line written now stands for (this
    // one and those since the last line), or 0 when no line is due yet. Accepts that succeed in
    // between change nothing: with descriptors exhausted, accepting fails and succeeds by turns.
    unsigned failed(Clock::time_point now);

  private:
    Clock::duration interval;
    Clock::time_point last_line;
    bool any_line = false;
    unsigned unreported = 0;
};

}  // namespace brix
