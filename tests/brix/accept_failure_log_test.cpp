// Which accept failures get a trace line, on a clock the test moves.
#include "brix/accept_failure_log.h"

#include <gtest/gtest.h>

#include <vector>

using brix::AcceptFailureLog;
using std::chrono::milliseconds;

TEST(AcceptFailureLog, ReportsTheFirstFailureThenAtMostOneLineASecondWithItsCount) {
    AcceptFailureLog log;
    const AcceptFailureLog::Clock::time_point start{};
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
