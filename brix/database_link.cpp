#include "brix/database_link.h"

namespace brix {

DatabaseLink::DatabaseLink(sql_client::Connection* own, bool connected)
    : own(own), connected(connected) {
    if (own != nullptr && !connected) {
        last_failed = true;
        last_failure = Clock::now();
    }
}

sql_client::Connection* DatabaseLink::connection() const { return connected ? own : nullptr; }

sql_client::Connection* DatabaseLink::connection_for_database() {
    if (!connected && own != nullptr && attempt_due()) {
        own->reconnect();
        note_attempt();
        connected = !last_failed;
    }
    return connection();
}

void DatabaseLink::reconnect() {
    if (own == nullptr || !attempt_due()) return;
    own->reconnect();
    note_attempt();
}

bool DatabaseLink::attempt_due() const {
    return !last_failed || Clock::now() - last_failure >= kRetryInterval;
}

void DatabaseLink::note_attempt() {
    last_failed = !*own;
    if (last_failed) last_failure = Clock::now();
}

}  // namespace brix
