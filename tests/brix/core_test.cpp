// The core without a database: the catalog with real cgilets, accept failure pacing, stop.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "brix/accept_failure_log.h"
#include "brix/brix.h"
#include "brix/catalog.h"
#include "brix/dll_file.h"
#include "tests/support/test_support.h"

namespace {

std::string row(const std::string& name, const std::string& factory,
                const std::string& library = TEST_CGILETS, const std::string& rest = "\"none\"\n") {
    return "\"" + name + "\",\"" + library + "\",\"" + factory + "\"," + rest;
}

}  // namespace

TEST(Catalog, LoadsUsableRowsInOrderSkipsTheRestAndUnloadsALibraryAfterItsLastObject) {
    brix_test::TempDir dir;
    std::vector<brix::CGIContext*> entries;
    // Loads the catalog `text` (none: a file that does not exist); returns the trace.
    auto load = [&dir, &entries](const std::string& text) {
        const std::string path = dir.path() + (text.empty() ? "/absent.csv" : "/cgi.csv");
        if (!text.empty()) std::ofstream(path, std::ios::binary) << text;
        testing::internal::CaptureStdout();
        brix::load_catalog(path, entries);
        return testing::internal::GetCapturedStdout();
    };
    const std::string trace =
        load(row("a", "make_wait") + "\"three\",\"fields\",\"only\"\n\n" +
             row("b", "make_a", dir.path() + "/no-such-library") + row("c", "no_such_factory") +
             row("d", "make_nothing") + row("e", "make_throwing") + row("f", "abort", "") +
             row("a", "make_throw", TEST_CGILETS, "\"test\",\"fifth\"\n") +
             row("unterminated", "make_wait", TEST_CGILETS, "\"none\""));
    EXPECT_TRUE(std::regex_match(trace, std::regex(R"(.*row 4 skipped.*library ".*no-such-library".*
.*row 5 skipped.*no_such_factory.*
.*row 6 skipped.*returned no object.*
.*row 7 skipped.*always throws.*
.*row 8 skipped.*library "".*: .+
)"))) << trace;
    EXPECT_TRUE(std::regex_match(load(""), std::regex(".*absent\\.csv.*\n")));
    // dlopen("") and dlsym(null) reach the whole process: a bad path must still find nothing.
    EXPECT_EQ(dll_file(nullptr).get_symbol("malloc"), nullptr);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]->name + entries[1]->name + entries[1]->catalog, "aatest");
    EXPECT_NE(entries[0]->cgilet, entries[1]->cgilet);
    for (brix::CGIContext* entry : entries) delete entry;
    entries.clear();

    // Two rows on one library: it stays loaded until the second entry has released it.
    EXPECT_EQ(load(row("one", "make_lifecycle", LIFECYCLE_CGILET) +
                   row("two", "make_lifecycle", LIFECYCLE_CGILET)),
              "loaded\nmade\nmade\n");
    ASSERT_EQ(entries.size(), 2u);
    // A failed look-up keeps the library loaded; a successful one clears the failure.
    EXPECT_EQ(entries[0]->dll.get_symbol("no_such_export"), nullptr);
    EXPECT_NE(entries[0]->dll.get_symbol("make_lifecycle"), nullptr);
    EXPECT_EQ(entries[0]->dll.error, "");
    testing::internal::CaptureStdout();
    for (brix::CGIContext* entry : entries) delete entry;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "destroyed\ndestroyed\nunloaded\n");
}

TEST(AcceptFailureLog, ReportsTheFirstFailureThenAtMostOneLineASecondWithItsCount) {
    brix::AcceptFailureLog log;
    const brix::AcceptFailureLog::Clock::time_point start{};
    // A failure every 100 ms for 2.5 s, then one after a quiet spell: each line counts them all.
    std::vector<unsigned> lines;
    for (int ms = 0; ms <= 2500; ms += 100)
        if (const unsigned count = log.failed(start + std::chrono::milliseconds(ms)))
            lines.push_back(count);
    lines.push_back(log.failed(start + std::chrono::seconds(60)));
    EXPECT_EQ(lines, (std::vector<unsigned>{1, 10, 10, 6}));
}

TEST(Stop, ARequestBeforeTheServerRunsStopsItOnceArmed) {
    brix::ServerSettings settings;  // no catalog, no pid file
    settings.worker_count = 0;
    brix::request_stop();
    brix::BRIX server("127.0.0.1", 0, false, settings);
    ASSERT_TRUE(server.listening()) << server.listen_error();
    server.run();  // a lost request hangs here until the test's timeout
    EXPECT_FALSE(server.failed());
}
