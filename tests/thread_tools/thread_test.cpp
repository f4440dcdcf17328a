#include "thread_tools/thread.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

using thread_tools::Thread;

namespace {

// Records where `run` ran and whether the subclass's destructor ran.
class Recorder : public Thread {
  public:
    Recorder(std::thread::id* ran_on, bool* destroyed) : ran_on(ran_on), destroyed(destroyed) {}
    ~Recorder() override { *destroyed = true; }
    void run() override { *ran_on = std::this_thread::get_id(); }

  private:
    std::thread::id* ran_on;
    bool* destroyed;
};

}  // namespace

TEST(Thread, RunsSubclassOnNewThreadAndDeletesThroughBasePointer) {
    std::thread::id ran_on;
    bool destroyed = false;
    Thread* thread = new Recorder(&ran_on, &destroyed);
    EXPECT_EQ(thread->start(), 0);
    EXPECT_EQ(thread->join(), 0);
    // join orders the thread's write before this read.
    EXPECT_NE(ran_on, std::thread::id());
    EXPECT_NE(ran_on, std::this_thread::get_id());
    EXPECT_FALSE(destroyed);
    delete thread;
    EXPECT_TRUE(destroyed);
}

TEST(Thread, BaseRunStartsAndEndsDoingNothing) {
    Thread* thread = new Thread();
    EXPECT_EQ(thread->start(), 0);
    EXPECT_EQ(thread->join(), 0);
    delete thread;
}

TEST(Thread, JoinWithoutARunningThreadReturnsAtOnce) {
    Thread never_started;
    EXPECT_EQ(never_started.join(), ESRCH);

    Thread twice;
    ASSERT_EQ(twice.start(), 0);
    EXPECT_EQ(twice.start(), EINVAL);  // the first thread stays the one to join
    EXPECT_EQ(twice.join(), 0);
    EXPECT_EQ(twice.join(), ESRCH);
    // Once joined, the object may run a thread again.
    EXPECT_EQ(twice.start(), 0);
    EXPECT_EQ(twice.join(), 0);
}
