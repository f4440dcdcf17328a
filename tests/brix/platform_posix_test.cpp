// POSIX only: the stop signals in a forked child, and trace lines on an output that fails for a
// while.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>

#include "brix/stop_signals.h"
#include "brix/trace.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace {
std::atomic<int> terms{0}, ints{0};
void count_stop(int sig) { ++(sig == SIGTERM ? terms : ints); }
}  // namespace

TEST(StopSignals, ReachTheHandlerAndNeverFromAForkedChild) {
    {
        brix::StopSignals signals(&count_stop);
        kill(getpid(), SIGTERM);
        EXPECT_TRUE(brix_test::wait_until([] { return terms == 1; }));
        // A child forked without a program of its own keeps the handler: SIGTERM must end it
        // as it would without one, and not reach this process.
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t child = fork();
        if (child == 0) {
            close(ready[0]);
            close(ready[1]);  // the parent reads the end of the pipe: the child runs
            for (int i = 0; i < 100; ++i) usleep(50 * 1000);  // killed long before
            _exit(0);
        }
        close(ready[1]);
        char byte;
        ASSERT_EQ(read(ready[0], &byte, 1), 0);
        close(ready[0]);
        kill(child, SIGTERM);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
        // The pipe keeps order: a SIGTERM the child passed on would come before this SIGINT.
        kill(getpid(), SIGINT);
        EXPECT_TRUE(brix_test::wait_until([] { return ints == 1; }));
        EXPECT_EQ(terms, 1);
    }
}

TEST(Trace, ALineThatCannotBeWrittenIsCountedAndTheNextOneIsTriedAgain) {
    brix_test::TempDir dir;
    const std::string path = dir.path() + "/trace.txt";
    const int saved = dup(1), full = open("/dev/full", O_WRONLY),
              file = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    testing::internal::CaptureStderr();
    dup2(full, 1);  // a full disk
    brix::trace("lost");
    brix::trace("lost too");
    dup2(file, 1);  // room again
    brix::trace("kept");
    dup2(saved, 1);
    for (const int fd : {saved, full, file}) close(fd);
    std::ostringstream written;
    written << std::ifstream(path).rdbuf();
    EXPECT_EQ(written.str(), "trace: 2 lines lost\nkept\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "brix: cannot write trace lines to standard output (No space left on device); "
              "counting them until it works again\n");
}
