// One test, so ctest never runs two processes of this name (GetPID returns the first one).
#include "brix/get_pid.h"

#include <gtest/gtest.h>

#include <string>

TEST(GetPID, FindsProcessesByExactExecutableName) {
    // This very process, under its executable's file name (under Wine, Wine's own process list).
    EXPECT_EQ(brix::current_process_id(), brix::GetPID(OWN_EXE_NAME));
    // The comparison is exact: neither a prefix nor a full path nor another letter case matches.
    const std::string own = OWN_EXE_NAME;
    for (const std::string& name : {std::string(), std::string("no_such_brix_process.exe"),
                                    own.substr(0, own.size() - 1), "x/" + own, "G" + own.substr(1)})
        EXPECT_EQ(0, brix::GetPID(name.c_str())) << name;
}
