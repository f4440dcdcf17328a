// Process-wide set-up of the MySQL client library.
#pragma once

namespace sql_client {

// Initialises the MySQL client library for the life of the object and releases it at the end.
// The library sets up shared state on first use, so a program that makes connections on several
// threads at once holds one ClientLibrary, made on its main thread before those threads start and
// destroyed after every Connection is gone and those threads are joined. One per process; not
// copyable.
class ClientLibrary {
  public:
    ClientLibrary();
    ~ClientLibrary();

    ClientLibrary(const ClientLibrary&) = delete;
    ClientLibrary& operator=(const ClientLibrary&) = delete;

    // True when the library initialised; connections cannot work otherwise.
    bool ok() const { return initialised; }

  private:
    bool initialised;
};

}  // namespace sql_client
