// Test-only plug-in for dll_file_test: a factory for objects with a virtual destructor, a call
// counter that starts from zero on every fresh load, and a static destructor that reports the
// library's unloading.
#include "tests/brix/probe.h"

#ifdef _WIN32
#define PROBE_EXPORT extern "C" __declspec(dllexport)
#else
#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

int calls = 0;
int* unload_counter = nullptr;

struct UnloadReporter {
    ~UnloadReporter() {
        if (unload_counter != nullptr) ++*unload_counter;
    }
} unload_reporter;

class CountingProbe : public brix_test::Probe {
  public:
    explicit CountingProbe(int* destroyed) : destroyed_(destroyed) {}
    ~CountingProbe() override { ++*destroyed_; }
    int answer() const override { return 42; }

  private:
    int* destroyed_;
};

}  // namespace

PROBE_EXPORT brix_test::Probe* make_probe(int* destroyed) { return new CountingProbe(destroyed); }

PROBE_EXPORT int count_calls() { return ++calls; }

PROBE_EXPORT void report_unload_to(int* counter) { unload_counter = counter; }
