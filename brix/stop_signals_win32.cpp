#include <csignal>

#include "brix/stop_signals.h"

namespace brix {

struct StopSignals::Waiter {};

StopSignals::StopSignals(void (*handler)(int)) : waiter(nullptr) {
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
}

StopSignals::~StopSignals() = default;

void StopSignals::leave_to_other_threads() {}

void StopSignals::take_on_this_thread_again() {}

}  // namespace brix
