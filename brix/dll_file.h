// dll_file: the owner of one loaded dynamic library (a cgilet plug-in): load by path, find an
// export by name, unload. Internal to the daemon core; not part of the plug-in interface.
#pragma once

#include <string>

// Loads its library on construction and releases that load exactly once, in close() or in the
// destructor, whichever comes first. Neither copied nor assigned. One object is used by one
// thread at a time (get_symbol records its failure in `error`); different objects, even on the
// same library, may be used on different threads.
class dll_file {
  public:
    // Loads the library at `path` (a relative path goes through the platform's library search).
    // Failure is not an exception: it leaves `module` null and the reason in `error`. A null or
    // empty path is a failure too (the POSIX loader would hand back the main program instead).
    explicit dll_file(const char* path);

    // Releases the load if `module` is not null.
    ~dll_file();

    dll_file(const dll_file&) = delete;
    dll_file& operator=(const dll_file&) = delete;

    // The address of the export `name`, or null when the library was not loaded or has no such
    // export; on null, `error` tells why, on success `error` is cleared.
    void* get_symbol(const char* name);

    // Releases the load and sets `module` to null; does nothing when `module` is already null,
    // so the library is released once however often close and the destructor run.
    void close();

    // The loaded library (the platform's handle), null when loading failed or after close.
    // Read by callers; changed only by this class.
    void* module;

    // The system's text for the last failed load or lookup on this object, empty when the last
    // one succeeded. It names what failed but not always the library: callers reporting it put
    // the library path (and the symbol name) beside it.
    std::string error;
};
