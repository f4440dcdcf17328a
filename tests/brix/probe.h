// Test-only: what dll_file_test and its test plug-in (probe_plugin.cpp) share, the same way the
// daemon and a cgilet library share the cgilet interface: a class with a virtual destructor that
// the plug-in implements, and the types of the plug-in's plain-C exports.
#pragma once

namespace brix_test {

class Probe {
  public:
    // Virtual, so deleting through a Probe* runs the plug-in's own destructor code.
    virtual ~Probe() = default;
    virtual int answer() const = 0;
};

// make_probe: a new Probe whose destructor adds one to *destroyed.
using MakeProbe = Probe* (*)(int* destroyed);
// count_calls: how often it has been called since the library was (last) loaded, this call
// included.
using CountCalls = int (*)();
// report_unload_to: the library's static destructor adds one to *counter when it is unloaded.
using ReportUnloadTo = void (*)(int* counter);

}  // namespace brix_test
