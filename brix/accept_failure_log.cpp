#include "brix/accept_failure_log.h"

namespace brix {

AcceptFailureLog::AcceptFailureLog(Clock::duration interval) : interval(interval) {}

unsigned AcceptFailureLog::failed(Clock::time_point now) {
    ++unreported;
    if (any_line && now - last_line < interval) return 0;
    any_line = true;
    last_line = now;
    const unsigned count = unreported;
    unreported = 0;
    return count;
}

}  // namespace brix
