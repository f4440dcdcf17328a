// Test-only plug-in for dll_file_test: its static destructor reports the library's unloading.
#ifdef _WIN32
#define PROBE_EXPORT extern "C" __declspec(dllexport)
#else
#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

int* unload_counter = nullptr;

struct UnloadReporter {
    ~UnloadReporter() {
        if (unload_counter != nullptr) ++*unload_counter;
    }
} unload_reporter;

}  // namespace

// From now on, unloading the library adds one to *counter.
PROBE_EXPORT void report_unload_to(int* counter) { unload_counter = counter; }
