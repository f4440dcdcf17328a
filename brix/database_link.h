// How a worker uses its database connection over time: whether it has one, and how often it may
// try to (re)connect. Internal to the daemon core.
#pragma once

#include <chrono>

#include "sql_client/connection.h"

namespace brix {

// Paces one worker's attempts to connect to its database. A worker whose first connection failed
// has no connection; it tries again when a request needs a database, so that a daemon started
// before its database server uses it once the server is reachable. After a failed attempt the
// next one waits kRetryInterval, or three times as long as the failed attempt took if that is
// longer: a refused connection is retried every second, while a server that does not answer (each
// attempt waits out a timeout) holds a worker at most a quarter of the time, not once per request,
// and requests without a database keep flowing.
//
// Does not own the connection, which the worker owns and which must outlive the link's use.
// Worker thread only: not thread safe.
class DatabaseLink {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kRetryInterval = std::chrono::seconds(1);

    // No connection, and none to try.
    DatabaseLink() = default;
    // `own` is the worker's connection (null: none to try); `connected` tells whether its first
    // connect succeeded. A failed first connect counts as a failed attempt made now.
    DatabaseLink(sql_client::Connection* own, bool connected);

    // The connection, or null while the worker has none (no connect has succeeded yet).
    sql_client::Connection* connection() const;

    // For a request that needs a database: the connection, after a new attempt to connect when
    // the worker has none and its last attempt is at least kRetryInterval old.
    sql_client::Connection* connection_for_database();

    // Reconnects the connection, unless a reconnect failed less than kRetryInterval ago: the
    // connection is then left as it is. Only while connection() is not null.
    void reconnect();

  private:
    bool attempt_due() const;
    // Records the outcome of a connect attempt that began at `began` and has just ended.
    void note_attempt(Clock::time_point began);

    sql_client::Connection* own = nullptr;
    bool connected = false;  // a connect on `own` has succeeded
    bool last_failed = false;
    Clock::time_point next_attempt{};  // after a failure: no attempt before this
};

}  // namespace brix
