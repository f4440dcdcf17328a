#include "brix/accept_times.h"

namespace brix {

void AcceptTimes::record(int fd, Clock::time_point when) {
    std::lock_guard<std::mutex> guard(lock);
    times[fd] = when;
}

AcceptTimes::Clock::time_point AcceptTimes::take(int fd) {
    std::lock_guard<std::mutex> guard(lock);
    const auto found = times.find(fd);
    if (found == times.end()) return Clock::now();
    const Clock::time_point when = found->second;
    times.erase(found);
    return when;
}

}  // namespace brix
