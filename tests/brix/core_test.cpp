// Parts of the daemon core without a database: the catalog loader and its entries, with real
// cgilet libraries, and the dll_file under them; the pacing of accept failure lines; a stop
// requested before the server runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "brix/accept_failure_log.h"
#include "brix/brix.h"
#include "brix/catalog.h"
#include "brix/dll_file.h"
#include "tests/support/temp_dir.h"

namespace {

std::string row(const std::string& name, const std::string& factory,
                const std::string& library = TEST_CGILETS) {
    return "\"" + name + "\",\"" + library + "\",\"" + factory + "\",\"none\"\n";
}

std::vector<std::string> lines_of(std::istream&& in) {
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace

TEST(Catalog, LoadsUsableRowsInOrderSkipsTheRestAndUnloadsALibraryAfterItsLastObject) {
    brix_test::TempDir dir;
    std::vector<brix::CGIContext*> entries;
    // Loads the catalog `text` (none: a file that does not exist); returns the trace lines.
    auto load = [&dir, &entries](const std::string& text) {
        const std::string path = dir.path() + (text.empty() ? "/absent.csv" : "/cgi.csv");
        if (!text.empty()) std::ofstream(path, std::ios::binary) << text;
        testing::internal::CaptureStdout();
        brix::load_catalog(path, entries);
        return lines_of(std::istringstream(testing::internal::GetCapturedStdout()));
    };
    const std::string missing = dir.path() + "/no-such-library";
    const auto trace = load(row("a", "make_wait") + "\"three\",\"fields\",\"only\"\n\n" +
                            row("b", "make_a", missing) + row("c", "no_such_factory") +
                            row("d", "make_nothing") + row("e", "make_throwing") +
                            R"("a",")" TEST_CGILETS R"(","make_throw","test","fifth")"
                            "\n"
                            R"("unterminated",")" TEST_CGILETS R"(","make_wait","none")");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]->name + entries[1]->name, "aa");
    EXPECT_NE(entries[0]->cgilet, entries[1]->cgilet);
    EXPECT_EQ(entries[1]->catalog, "test");
    const char* reasons[] = {R"(row 4 skipped.*library ".*no-such-library")",
                             "row 5 skipped.*no_such_factory", "row 6 skipped.*returned no object",
                             "row 7 skipped.*always throws"};
    ASSERT_EQ(trace.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_TRUE(std::regex_search(trace[i], std::regex(reasons[i]))) << trace[i];
    }
    const auto absent = load("");
    EXPECT_EQ(entries.size(), 2u);
    ASSERT_EQ(absent.size(), 1u);
    EXPECT_NE(absent[0].find("absent.csv"), std::string::npos) << absent[0];
    for (brix::CGIContext* entry : entries) delete entry;
    entries.clear();

    // Two rows on one library: the platform counts the loads, so it stays loaded until the
    // second entry has released it. The library records its life in the current folder.
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const std::string log = dir.path() + "/lifecycle.log";
    load(row("one", "make_lifecycle", LIFECYCLE_CGILET) +
         row("two", "make_lifecycle", LIFECYCLE_CGILET));
    ASSERT_EQ(entries.size(), 2u);
    std::vector<std::string> events = {"loaded", "made", "made"};
    EXPECT_EQ(lines_of(std::ifstream(log)), events);
    // A failed look-up keeps the library loaded; a successful one clears the failure.
    EXPECT_EQ(entries[0]->dll.get_symbol("no_such_export"), nullptr);
    EXPECT_NE(entries[0]->dll.get_symbol("make_lifecycle"), nullptr);
    EXPECT_EQ(entries[0]->dll.error, "");
    delete entries[1];
    events.push_back("destroyed");
    EXPECT_EQ(lines_of(std::ifstream(log)), events);
    delete entries[0];
    events.insert(events.end(), {"destroyed", "unloaded"});
    EXPECT_EQ(lines_of(std::ifstream(log)), events);
    std::filesystem::current_path(before);
}

// The POSIX loader hands back the main program for "", and dlsym with a null handle searches the
// whole process: a misconfigured path must still find nothing.
TEST(DllFile, AFailedLoadNeverResolvesAFunctionOfTheProcess) {
    for (const char* path : {static_cast<const char*>(nullptr), "", "no_such_brix_library.dll"}) {
        dll_file dll(path);
        EXPECT_EQ(dll.module, nullptr);
        EXPECT_EQ(dll.get_symbol("malloc"), nullptr);
        EXPECT_NE(dll.error, "");
    }
}

TEST(AcceptFailureLog, ReportsTheFirstFailureThenAtMostOneLineASecondWithItsCount) {
    using std::chrono::milliseconds;
    brix::AcceptFailureLog log;
    const brix::AcceptFailureLog::Clock::time_point start{};
    // A failure every 100 ms for 2.5 s: lines at 0, 1 s and 2 s, each counting the failures
    // since the line before.
    std::vector<unsigned> lines;
    for (int ms = 0; ms <= 2500; ms += 100) {
        if (const unsigned count = log.failed(start + milliseconds(ms))) lines.push_back(count);
    }
    EXPECT_EQ(lines, (std::vector<unsigned>{1, 10, 10}));
    // After a quiet spell the next failure is reported at once, with the ones held back.
    EXPECT_EQ(log.failed(start + milliseconds(60000)), 6u);
}

TEST(Stop, ARequestBeforeTheServerRunsStopsItOnceArmed) {
    brix::ServerSettings settings;  // no catalog, no pid file
    settings.worker_count = 0;
    brix::request_stop();
    auto run = std::async(std::launch::async, [&settings] {
        brix::BRIX server("127.0.0.1", 0, false, settings);
        EXPECT_TRUE(server.listening()) << server.listen_error();
        server.run();
        return server.failed();
    });
    const bool stopped = run.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!stopped) brix::request_stop();  // the first request was lost: end the run anyway
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(run.get());
}
