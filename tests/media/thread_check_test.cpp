// The thread-affinity checks abort on the wrong thread and stay silent on the right one.
#include <gtest/gtest.h>
#include <thread>

#include "media/dispatch.h"
#include "media/thread_check.h"

namespace orlenta {
namespace {

TEST(ThreadCheck, AbortsOffTheNamedThreadOnly) {
#if ORLENTA_THREAD_CHECKS
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ManualExecutor mainThread;
    ORLENTA_ASSERT_ON_EXECUTOR(mainThread);
    // A loop that is not running yet belongs to the thread that made it.
    EventLoop loop;
    ORLENTA_ASSERT_ON_EXECUTOR(loop);
    SerialQueue queue("check.queue");
    QueueBinding onQueue;
    onQueue.bind(queue);
    queue.sync([&] { ORLENTA_ASSERT_BOUND(onQueue, "check.queue"); });
    ThreadBinding binding;
    ORLENTA_ASSERT_BOUND(binding, "the test thread");
    ORLENTA_ASSERT_BOUND(binding, "the test thread");

    EXPECT_DEATH(ORLENTA_ASSERT_BOUND(onQueue, "check.queue"), "expected on check.queue");
    EXPECT_DEATH(queue.sync([&] { ORLENTA_ASSERT_ON_EXECUTOR(mainThread); }),
                 "expected on the main thread");
    EXPECT_DEATH(std::thread([&] { ORLENTA_ASSERT_BOUND(binding, "the test thread"); }).join(),
                 "expected on the test thread");
    EXPECT_DEATH(std::thread([&] { ORLENTA_ASSERT_ON_EXECUTOR(loop); }).join(),
                 "expected on the main thread");
#else
    GTEST_SKIP() << "thread checks are compiled out of this build";
#endif
}

} // namespace
} // namespace orlenta
