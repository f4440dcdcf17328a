// dll_file against real dynamic libraries built for the test: probe_plugin (factory, call counter,
// unload report) and bare_plugin (no plain-C exports).
#include "brix/dll_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "tests/brix/probe.h"

namespace {

using brix_test::CountCalls;
using brix_test::MakeProbe;
using brix_test::Probe;
using brix_test::ReportUnloadTo;

// Typed look-up of an export; the untyped address is converted the way the daemon converts a
// factory's address.
template <typename Function>
Function symbol(dll_file& dll, const char* name) {
    return reinterpret_cast<Function>(dll.get_symbol(name));
}

TEST(DllFile, LoadsALibraryAndCallsItsExports) {
    dll_file dll(PROBE_PLUGIN);
    ASSERT_NE(nullptr, dll.module) << dll.error;
    EXPECT_EQ("", dll.error);

    auto count_calls = symbol<CountCalls>(dll, "count_calls");
    ASSERT_NE(nullptr, count_calls) << dll.error;
    EXPECT_EQ(1, count_calls());
    EXPECT_EQ(2, count_calls());

    // An object made by the library's factory and deleted through the interface runs the
    // library's own destructor, while the library is still loaded.
    auto make_probe = symbol<MakeProbe>(dll, "make_probe");
    ASSERT_NE(nullptr, make_probe) << dll.error;
    int destroyed = 0;
    Probe* probe = make_probe(&destroyed);
    ASSERT_NE(nullptr, probe);
    EXPECT_EQ(42, probe->answer());
    delete probe;
    EXPECT_EQ(1, destroyed);
}

TEST(DllFile, MissingExportGivesNullAndTheSystemsText) {
    dll_file probe(PROBE_PLUGIN);
    ASSERT_NE(nullptr, probe.module) << probe.error;
    EXPECT_EQ(nullptr, probe.get_symbol("no_such_export"));
    EXPECT_NE("", probe.error);
    EXPECT_NE(nullptr, probe.module) << "a failed look-up leaves the library loaded";
    EXPECT_NE(nullptr, probe.get_symbol("count_calls"));
    EXPECT_EQ("", probe.error) << "a successful look-up clears the last failure";

    // Only plain-C names are found by their source name: a C++ function's export is mangled.
    dll_file bare(BARE_PLUGIN);
    ASSERT_NE(nullptr, bare.module) << bare.error;
    EXPECT_EQ(nullptr, bare.get_symbol("bare_value"));
    EXPECT_NE("", bare.error);
}

TEST(DllFile, LibraryThatCannotBeLoadedLeavesModuleNull) {
    const std::string missing = "no_such_brix_plugin_library.dll";
    dll_file dll(missing.c_str());
    EXPECT_EQ(nullptr, dll.module);
    EXPECT_NE("", dll.error);
#ifndef _WIN32
    // The POSIX loader's text names the file; the Windows one is the bare system message.
    EXPECT_NE(std::string::npos, dll.error.find(missing)) << dll.error;
#endif

    // A file that exists but is not a library.
    const std::filesystem::path not_a_library =
        std::filesystem::temp_directory_path() /
        ("brix_not_a_library_" + std::to_string(std::random_device()()) + ".dll");
    std::ofstream(not_a_library) << "not a library\n";
    {
        dll_file text(not_a_library.string().c_str());
        EXPECT_EQ(nullptr, text.module);
        EXPECT_NE("", text.error);
    }
    std::filesystem::remove(not_a_library);
}

TEST(DllFile, FailedLoadNeverResolvesSymbolsOfTheProcess) {
    // dlopen("") would hand back the main program and dlsym on a null handle searches the whole
    // process: either way a misconfigured library path could "find" a function such as malloc.
    for (const char* path : {"", "no_such_brix_plugin_library.dll"}) {
        dll_file dll(path);
        EXPECT_EQ(nullptr, dll.module) << "path \"" << path << "\"";
        EXPECT_EQ(nullptr, dll.get_symbol("malloc")) << "path \"" << path << "\"";
        EXPECT_NE("", dll.error);
        dll.close();  // nothing to release: a no-op
        EXPECT_EQ(nullptr, dll.module);
    }
    dll_file null_path(nullptr);
    EXPECT_EQ(nullptr, null_path.module);
    EXPECT_NE("", null_path.error);
}

// The platform counts loads; each dll_file releases its own load exactly once, however often
// close and the destructor run, and the library stays loaded until the last load is released.
TEST(DllFile, EachObjectReleasesItsLoadExactlyOnce) {
    int unloads = 0;  // declared first: outlives every dll_file below
    dll_file second(PROBE_PLUGIN);
    ASSERT_NE(nullptr, second.module) << second.error;
    auto count_calls = symbol<CountCalls>(second, "count_calls");
    auto report_unload_to = symbol<ReportUnloadTo>(second, "report_unload_to");
    ASSERT_NE(nullptr, count_calls);
    ASSERT_NE(nullptr, report_unload_to);
    report_unload_to(&unloads);
    EXPECT_EQ(1, count_calls());
    {
        dll_file first(PROBE_PLUGIN);
        ASSERT_NE(nullptr, first.module) << first.error;
        // One library in memory: the second load shares the first one's data.
        EXPECT_EQ(2, symbol<CountCalls>(first, "count_calls")());
        first.close();
        EXPECT_EQ(nullptr, first.module);
        first.close();
    }  // destructor after close
    ASSERT_EQ(0, unloads) << "releasing one load twice unloaded a library still in use";
    EXPECT_EQ(3, count_calls());

    second.close();
    EXPECT_EQ(1, unloads);
    second.close();
    EXPECT_EQ(1, unloads);

    // Loading again starts from fresh static data: the library really was unloaded.
    dll_file again(PROBE_PLUGIN);
    ASSERT_NE(nullptr, again.module) << again.error;
    EXPECT_EQ(1, symbol<CountCalls>(again, "count_calls")());
}

TEST(DllFile, DestructorReleasesTheLoad) {
    int unloads = 0;
    {
        dll_file dll(PROBE_PLUGIN);
        ASSERT_NE(nullptr, dll.module) << dll.error;
        symbol<ReportUnloadTo>(dll, "report_unload_to")(&unloads);
        EXPECT_EQ(0, unloads);
    }
    EXPECT_EQ(1, unloads);
}

}  // namespace
