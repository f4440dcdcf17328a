// The catalog loader and catalog entries, with real cgilet libraries.
#include "brix/catalog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

using brix::CGIContext;

namespace {

// Library paths of the test cgilets (set by CMake: full paths, or bare names beside the test).
const std::string kTestCgilets = TEST_CGILETS;
const std::string kLifecycle = LIFECYCLE_CGILET;

struct Catalog {
    std::vector<CGIContext*> entries;
    ~Catalog() {
        for (CGIContext* entry : entries) delete entry;
    }
};

std::string row(const std::string& name, const std::string& library, const std::string& factory,
                const std::string& catalog) {
    return "\"" + name + "\",\"" + library + "\",\"" + factory + "\",\"" + catalog + "\"";
}

std::vector<std::string> read_lines(const std::string& path) {
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

class CatalogTest : public ::testing::Test {
  protected:
    std::string write_catalog(const std::string& text) {
        const std::string path = dir.path() + "/cgi.csv";
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    brix_test::TempDir dir;
    Catalog catalog;
};

}  // namespace

TEST_F(CatalogTest, LoadsRowsInFileOrderAndSkipsShortRows) {
    const std::string path =
        write_catalog(row("throw", kTestCgilets, "make_throw", "none") +
                      "\n"
                      "\"three\",\"fields\",\"only\"\n"
                      "\n" +
                      row("wait", kTestCgilets, "make_wait", "test") + ",\"fifth\"\n");
    brix::load_catalog(path, catalog.entries);
    ASSERT_EQ(catalog.entries.size(), 2u);
    EXPECT_EQ(catalog.entries[0]->name, "throw");
    EXPECT_EQ(catalog.entries[0]->catalog, "none");
    EXPECT_EQ(catalog.entries[1]->name, "wait");
    EXPECT_EQ(catalog.entries[1]->catalog, "test");
    for (CGIContext* entry : catalog.entries) {
        EXPECT_NE(entry->cgilet, nullptr);
        EXPECT_NE(entry->dll.module, nullptr);
    }
}

TEST_F(CatalogTest, DuplicateNamesAreAllLoaded) {
    const std::string path = write_catalog(row("x", kTestCgilets, "make_throw", "none") + "\n" +
                                           row("x", kTestCgilets, "make_wait", "none") + "\n");
    brix::load_catalog(path, catalog.entries);
    ASSERT_EQ(catalog.entries.size(), 2u);
    EXPECT_NE(catalog.entries[0]->cgilet, catalog.entries[1]->cgilet);
}

TEST_F(CatalogTest, ALastRowWithoutLineFeedIsNotLoaded) {
    const std::string wait = row("wait", kTestCgilets, "make_wait", "none");
    brix::load_catalog(write_catalog(wait), catalog.entries);
    EXPECT_TRUE(catalog.entries.empty());
    brix::load_catalog(write_catalog(wait + "\n"), catalog.entries);
    EXPECT_EQ(catalog.entries.size(), 1u);
}

TEST_F(CatalogTest, UnusableRowsAreSkippedWithATraceNamingRowLibraryAndError) {
    const std::string missing = dir.path() + "/no-such-cgilet-library";
    const std::string path =
        write_catalog(row("a", missing, "make_a", "none") + "\n" +
                      row("b", kTestCgilets, "no_such_factory", "none") + "\n" +
                      row("c", kTestCgilets, "make_nothing", "none") + "\n" +
                      row("t", kTestCgilets, "make_throwing", "none") + "\n" +
                      row("d", kTestCgilets, "make_wait", "none") + "\n");
    testing::internal::CaptureStdout();
    brix::load_catalog(path, catalog.entries);
    const std::string trace = testing::internal::GetCapturedStdout();
    ASSERT_EQ(catalog.entries.size(), 1u);
    EXPECT_EQ(catalog.entries[0]->name, "d");
    std::istringstream lines(trace);
    std::vector<std::string> skipped;
    for (std::string line; std::getline(lines, line);) skipped.push_back(line);
    ASSERT_EQ(skipped.size(), 4u) << trace;
    EXPECT_NE(skipped[0].find("row 1 skipped"), std::string::npos) << skipped[0];
    EXPECT_NE(skipped[0].find(missing), std::string::npos) << skipped[0];
    EXPECT_NE(skipped[1].find("row 2 skipped"), std::string::npos) << skipped[1];
    EXPECT_NE(skipped[1].find("no_such_factory"), std::string::npos) << skipped[1];
    EXPECT_NE(skipped[2].find("returned no object"), std::string::npos) << skipped[2];
    EXPECT_NE(skipped[3].find("row 4 skipped: cgilet \"t\", library \"" + kTestCgilets +
                              "\", factory \"make_throwing\": the factory make_throwing threw: " +
                              "the throwing factory always throws"),
              std::string::npos)
        << skipped[3];
}

TEST_F(CatalogTest, AMissingFileLeavesTheCatalogEmpty) {
    testing::internal::CaptureStdout();
    brix::load_catalog(dir.path() + "/absent.csv", catalog.entries);
    const std::string trace = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(catalog.entries.empty());
    EXPECT_NE(trace.find("absent.csv"), std::string::npos);
}

TEST_F(CatalogTest, TeardownDeletesTheObjectBeforeUnloadingTheLibraryOnce) {
    const std::string log = dir.path() + "/events.log";
    ASSERT_TRUE(brix_test::set_environment("BRIX_TEST_EVENT_LOG", log));
    // Two rows on one library: the platform counts the loads, so it stays loaded until the
    // second entry has released it.
    const std::string path = write_catalog(row("one", kLifecycle, "make_lifecycle", "none") + "\n" +
                                           row("two", kLifecycle, "make_lifecycle", "none") + "\n");
    brix::load_catalog(path, catalog.entries);
    ASSERT_EQ(catalog.entries.size(), 2u);
    EXPECT_EQ(read_lines(log), (std::vector<std::string>{"loaded", "made", "made"}));

    delete catalog.entries[0];
    EXPECT_EQ(read_lines(log), (std::vector<std::string>{"loaded", "made", "made", "destroyed"}));
    delete catalog.entries[1];
    catalog.entries.clear();
    EXPECT_EQ(read_lines(log), (std::vector<std::string>{"loaded", "made", "made", "destroyed",
                                                         "destroyed", "unloaded"}));
    brix_test::set_environment("BRIX_TEST_EVENT_LOG", "");
}
