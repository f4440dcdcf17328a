// POSIX only: the stop signals (here and in a forked child), trace lines on a failing output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "brix/stop_signals.h"
#include "brix/trace.h"
#include "tests/support/test_support.h"

namespace {
std::atomic<int> stops{0};  // SIGTERM counts 1, SIGINT 100
void count_stop(int sig) { stops += sig == SIGTERM ? 1 : 100; }
}  // namespace

TEST(StopSignals, ReachTheHandlerAndNeverFromAForkedChild) {
    brix::StopSignals signals(&count_stop);
    kill(getpid(), SIGTERM);
    EXPECT_TRUE(brix_test::wait_until([] { return stops == 1; }));
    // A forked child dies of SIGTERM as without the handler, and does not pass it on.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        for (const int fd : ready) close(fd);  // the parent reads the pipe's end: the child runs
        pause();
        _exit(0);
    }
    close(ready[1]);
    int status = 0;
    ASSERT_EQ(read(ready[0], &status, 1), 0);
    kill(child, SIGTERM);
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    // The pipe keeps order: a SIGTERM the child passed on would come before this SIGINT.
    kill(getpid(), SIGINT);
    EXPECT_TRUE(brix_test::wait_until([] { return stops == 101; }));
}

TEST(Trace, ALineThatCannotBeWrittenIsCountedAndTheNextOneIsTriedAgain) {
    int room[2];
    ASSERT_EQ(pipe(room), 0);
    const int saved = dup(1), full = open("/dev/full", O_WRONLY);
    testing::internal::CaptureStderr();
    dup2(full, 1);  // a full disk
    brix::trace("lost");
    brix::trace("lost too");
    dup2(room[1], 1);  // room again
    brix::trace("kept");
    dup2(saved, 1);
    char written[64] = {};
    ASSERT_GT(read(room[0], written, sizeof written - 1), 0);
    for (const int fd : {saved, full, room[0], room[1]}) close(fd);
    EXPECT_STREQ(written, "trace: 2 lines lost\nkept\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "brix: cannot write trace lines to standard output (No space left on device); "
              "counting them until it works again\n");
}
