// The decoded fields of one request. Public header: cgilets receive a FormData by address and
// use it through this same declaration, so its layout (one std::map data member, no base, no
// virtual functions) is part of the plug-in contract and must not change.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace brix {

// Field names mapped to their values in the order they were put. Names and values are byte
// strings compared byte for byte (case-sensitive) and may hold any byte, zero included.
// One FormData belongs to one request on one thread; it is not thread safe.
class FormData {
  public:
    // An empty store.
    FormData();
    ~FormData();

    // Appends a copy of `value` to the list of `name`, creating the name first if absent.
    void put(const std::string& name, const std::string& value);

    // A copy of the first value put for `name`, or the empty string if it has none. Not const:
    // an absent name is added with an empty list, and later iterations of `fields` see it.
    std::string get_value(const std::string& name);

    // Every name (in ascending byte order) with all of its values; public because cgilets may
    // need every value of a name.
    std::map<std::string, std::vector<std::string>> fields;
};

}  // namespace brix
