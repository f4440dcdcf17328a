// GetPID and current_process_id against the system's real process list.
#include "brix/get_pid.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// One test, so that ctest never runs two processes of this executable's name at once: GetPID
// returns the first process of a name, and another copy of this test could come first.
TEST(GetPID, FindsProcessesByExactExecutableName) {
    const int self = brix::current_process_id();
    EXPECT_GT(self, 0);
    // The process list shows this very process under its executable's file name (under Wine:
    // the .exe name in Wine's own process list).
    EXPECT_EQ(self, brix::GetPID(OWN_EXE_NAME));

    const std::string own = OWN_EXE_NAME;
    EXPECT_EQ(0, brix::GetPID("no_such_brix_process.exe"));
    EXPECT_EQ(0, brix::GetPID(""));
    // The comparison is exact: neither a prefix nor a full path nor another letter case matches.
    EXPECT_EQ(0, brix::GetPID(own.substr(0, own.size() - 1).c_str()));
    EXPECT_EQ(0, brix::GetPID(("x/" + own).c_str()));
    std::string upper = own;
    for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    EXPECT_EQ(0, brix::GetPID(upper.c_str()));
}

}  // namespace
