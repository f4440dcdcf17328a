// dll_file against a real dynamic library built for the test, probe_plugin, which reports its
// unloading.
#include "brix/dll_file.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using ReportUnloadTo = void (*)(int* counter);

TEST(DllFile, FailedLookupGivesNullAndTheSystemsTextWithoutUnloading) {
    dll_file probe(PROBE_PLUGIN);
    ASSERT_NE(nullptr, probe.module) << probe.error;
    EXPECT_EQ(nullptr, probe.get_symbol("no_such_export"));
    EXPECT_NE("", probe.error);
    EXPECT_NE(nullptr, probe.get_symbol("report_unload_to")) << "the library is still loaded";
    EXPECT_EQ("", probe.error) << "a successful look-up clears the last failure";
}

TEST(DllFile, FailedLoadLeavesModuleNullAndNeverResolvesSymbolsOfTheProcess) {
    // dlopen("") would hand back the main program and dlsym on a null handle searches the whole
    // process: either way a misconfigured library path could "find" a function such as malloc.
    const std::string missing = "no_such_brix_plugin_library.dll";
    for (const char* path : {"", missing.c_str(), static_cast<const char*>(nullptr)}) {
        dll_file dll(path);
        EXPECT_EQ(nullptr, dll.module);
        EXPECT_NE("", dll.error);
        EXPECT_EQ(nullptr, dll.get_symbol("malloc"));
        dll.close();  // nothing to release: a no-op
    }
#ifndef _WIN32
    // The POSIX loader's text names the file; the Windows one is the bare system message.
    EXPECT_NE(std::string::npos, dll_file(missing.c_str()).error.find(missing));
#endif
}

// The platform counts loads: each dll_file releases its own load exactly once, however often
// close and the destructor run, and the library is unloaded with the last load.
TEST(DllFile, EachObjectReleasesItsLoadExactlyOnce) {
    int unloads = 0;  // declared first: outlives every dll_file below
    {
        dll_file kept(PROBE_PLUGIN);  // released by its destructor alone
        ASSERT_NE(nullptr, kept.module) << kept.error;
        auto report_unload_to =
            reinterpret_cast<ReportUnloadTo>(kept.get_symbol("report_unload_to"));
        ASSERT_NE(nullptr, report_unload_to) << kept.error;
        report_unload_to(&unloads);
        {
            dll_file other(PROBE_PLUGIN);
            ASSERT_NE(nullptr, other.module) << other.error;
            other.close();
            EXPECT_EQ(nullptr, other.module);
            other.close();
        }  // destructor after close
        EXPECT_EQ(0, unloads) << "releasing one load twice unloaded a library still in use";
    }
    EXPECT_EQ(1, unloads);
}

}  // namespace
