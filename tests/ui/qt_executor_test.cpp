// The Qt main-thread executor: posts and syncs from other threads, timers, and an executor that
// goes while a thread waits on it.
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

#include <QCoreApplication>
#include <QTest>

#include "app/ui/qt_executor.h"
#include "tests/ui/ui_harness.h"

namespace orlenta {
namespace {

TEST(QtExecutor, PostsSyncsAndTimersRunOnTheMainThread) {
    test::application();
    QtExecutor executor;
    EXPECT_TRUE(executor.isCurrent());
    std::atomic<int> ran{0};
    std::atomic<bool> onMain{false}, finished{false};
    bool otherThreadIsCurrent = true;
    std::thread worker([&] {
        otherThreadIsCurrent = executor.isCurrent();
        for (int i = 0; i < 100; ++i)
            executor.post([&] { ++ran; });
        executor.sync([&] { onMain = executor.isCurrent(); });
        finished = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return finished.load(); }));
    worker.join();
    EXPECT_FALSE(otherThreadIsCurrent);
    EXPECT_TRUE(onMain);
    // Posts run in order before the later sync.
    EXPECT_EQ(ran.load(), 100);
    int inPlace = 0;
    executor.sync([&] { ++inPlace; });
    EXPECT_EQ(inPlace, 1);

    // A one-shot timer made from another thread fires once, on the main thread; a repeating one
    // fires until invalidated.
    int once = 0;
    bool timerOnMain = false;
    std::unique_ptr<Timer> oneShot;
    std::thread([&] {
        oneShot = executor.scheduleTimer(0.01, false, [&] {
            timerOnMain = executor.isCurrent();
            ++once;
        });
    }).join();
    int repeats = 0;
    auto repeating = executor.scheduleTimer(0.005, true, [&] { ++repeats; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return once == 1 && repeats >= 3; }));
    EXPECT_TRUE(timerOnMain);
    EXPECT_FALSE(oneShot->isValid());
    repeating->invalidate();
    const int stoppedAt = repeats;
    QTest::qWait(50);
    EXPECT_EQ(repeats, stoppedAt);
    EXPECT_EQ(once, 1);
}

TEST(QtExecutor, DestroyedExecutorReleasesAWaitingThread) {
    test::application();
    auto executor = std::make_unique<QtExecutor>();
    std::atomic<bool> waiting{false}, returned{false};
    bool ran = false;
    std::thread worker([&] {
        waiting = true;
        executor->sync([&] { ran = true; });
        returned = true;
    });
    while (!waiting)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // The closure was never served; destroying the executor ends the wait without it.
    auto timer = executor->scheduleTimer(0.01, true, [] {});
    executor.reset();
    worker.join();
    EXPECT_TRUE(returned);
    EXPECT_FALSE(ran);
    timer->invalidate();
}

} // namespace
} // namespace orlenta
