#include "brix/database_link.h"

#include <algorithm>

namespace brix {

DatabaseLink::DatabaseLink(sql_client::Connection* own, bool connected)
    : own(own), connected(connected) {
    if (own != nullptr && !connected) {
        last_failed = true;
        next_attempt = Clock::now() + kRetryInterval;
    }
}

sql_client::Connection* DatabaseLink::connection() const { return connected ? own : nullptr; }

sql_client::Connection* DatabaseLink::connection_for_database() {
    if (!connected && own != nullptr && attempt_due()) {
        const Clock::time_point began = Clock::now();
        own->reconnect();
        note_attempt(began);
        connected = !last_failed;
    }
    return connection();
}

void DatabaseLink::reconnect() {
    if (own == nullptr || !attempt_due()) return;
    const Clock::time_point began = Clock::now();
    own->reconnect();
    note_attempt(began);
}

bool DatabaseLink::attempt_due() const { return !last_failed || Clock::now() >= next_attempt; }

void DatabaseLink::note_attempt(Clock::time_point began) {
    last_failed = !*own;
    if (!last_failed) return;
    const Clock::time_point ended = Clock::now();
    next_attempt = ended + std::max<Clock::duration>(kRetryInterval, 3 * (ended - began));
}

}  // namespace brix
