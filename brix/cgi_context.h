// One catalog entry: a cgilet's name, its loaded library, the one object its factory made, and the
// database catalog it works on. Internal to the daemon core.
#pragma once

#include <string>

#include "brix/cgilet.h"
#include "brix/dll_file.h"

namespace brix {

// Made by the catalog loader on the main thread before any worker starts, read without a lock by
// the workers, deleted after every worker has been joined. Owns its library and its object; the
// object is always deleted before the library is unloaded.
class CGIContext {
  public:
    // Loads the library at `path`, keeps `name` and `catalog`, and calls the exported factory
    // `factory` once. A library that does not load, a missing export, a factory that returns
    // null or one that throws leave `cgilet` null (no call through a null pointer is made);
    // usable() then is false and failure_text() says why (with the exception's text).
    CGIContext(const std::string& name, const std::string& path, const std::string& factory,
               const std::string& catalog);

    // Deletes the cgilet object (its library still loaded), then unloads the library.
    ~CGIContext();

    CGIContext(const CGIContext&) = delete;
    CGIContext& operator=(const CGIContext&) = delete;

    // True when the library is loaded and the factory made an object.
    bool usable() const;

    // Why the entry is not usable (the system's text for a failed load or lookup, or a note that
    // the factory returned no object); empty when usable.
    std::string failure_text() const;

    std::string name;     // the value of the request field "cgilet" that selects this entry
    dll_file dll;         // the loaded cgilet library
    Cgilet* cgilet;       // the object made by the library's factory; owned
    std::string catalog;  // the database selected before each call, or "none"

  private:
    std::string failure;
};

}  // namespace brix
