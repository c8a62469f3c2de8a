// Serial queues and the event loop: order, threads, waiting, delays, timers and lifetimes; the
// thread-affinity checks that abort on the wrong thread.
#include <atomic>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "media/dispatch.h"
#include "media/thread_check.h"

namespace orlenta {
namespace {

using namespace std::chrono_literals;

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TEST(SerialQueue, RunsInOrderOnItsOwnThreadAndSyncRunsInPlaceThere) {
    SerialQueue queue("example.orlenta.camera.video");
    SerialQueue other("other");
    EXPECT_FALSE(queue.isCurrent());
    std::vector<int> order;
    std::atomic<bool> allOnQueue{true};
    for (int i = 0; i < 500; ++i)
        queue.async([&, i] {
            order.push_back(i);
            allOnQueue = allOnQueue && queue.isCurrent();
        });
    std::vector<std::string> steps;
    queue.sync([&] {
        // From the queue's own thread sync must not wait for itself; from another queue it waits.
        queue.sync([&] { steps.push_back("inner"); });
        other.sync(
            [&] { steps.push_back(other.isCurrent() && !queue.isCurrent() ? "other" : "?"); });
        steps.push_back("after");
    });
    ASSERT_EQ(order.size(), 500u);
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(order[i], i);
    EXPECT_TRUE(allOnQueue);
    EXPECT_EQ(steps, (std::vector<std::string>{"inner", "other", "after"}));
}

TEST(SerialQueue, DelayedClosuresRunInDueOrderAfterPlainOnesAndNeverEarly) {
    SerialQueue queue("delays");
    std::mutex mutex;
    std::vector<std::string> order;
    auto record = [&](std::string name) {
        return [&, name] {
            std::lock_guard lock(mutex);
            order.push_back(name);
        };
    };
    std::promise<void> done;
    const double start = nowSeconds();
    double lateAt = 0;
    queue.asyncAfter(0.12, [&] {
        record("late")();
        lateAt = nowSeconds();
        done.set_value();
    });
    queue.asyncAfter(0.06, record("middle"));
    queue.asyncAfter(-1, record("negative"));
    queue.asyncAfter(std::numeric_limits<double>::quiet_NaN(), record("nan"));
    queue.async(record("plain"));
    ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
    queue.sync([] {});
    // Zero-delay closures may run before or after the plain one, but all before the delayed ones.
    ASSERT_EQ(order.size(), 5u);
    EXPECT_EQ(order[3], "middle");
    EXPECT_EQ(order[4], "late");
    EXPECT_GE(lateAt - start, 0.12);
}

TEST(SerialQueue, DestructionDrainsWhatWasSubmittedDropsTheRestAndMayComeFromWithin) {
    std::atomic<int> ran{0};
    std::atomic<bool> dropped{false};
    auto capture = std::make_shared<int>(0);
    {
        SerialQueue queue("drain");
        queue.async([] { std::this_thread::sleep_for(50ms); });
        for (int i = 0; i < 100; ++i)
            queue.async([&] { ++ran; });
        queue.asyncAfter(30, [&] { dropped = true; });
        queue.async([&, capture] {
            // Submitted while the queue is being destroyed: dropped, captures released.
            queue.async([&, capture] { dropped = true; });
            queue.asyncAfter(0, [&, capture] { dropped = true; });
            int inPlace = 0;
            queue.sync([&] { inPlace = 1; });
            EXPECT_EQ(inPlace, 1) << "waiting on itself still runs in place";
        });
    }
    EXPECT_EQ(ran.load(), 100);
    EXPECT_FALSE(dropped);
    EXPECT_EQ(capture.use_count(), 1);

    // The last reference may go inside one of its own closures.
    auto queue = std::make_shared<SerialQueue>("self-destroy");
    std::promise<void> release;
    auto counter = std::make_shared<std::atomic<int>>(0);
    queue->async([released = release.get_future().share()] { released.wait(); });
    queue->async([queue, counter] { ++*counter; });
    for (int i = 0; i < 3; ++i)
        queue->async([counter] { ++*counter; });
    queue.reset();
    release.set_value();
    for (int i = 0; i < 1000 && *counter != 4; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(counter->load(), 4);
}

TEST(EventLoop, ServesPostsAndSyncFromAnyThreadUntilQuit) {
    EventLoop loop;
    std::vector<int> order;
    loop.post([&] { order.push_back(1); }); // before run()
    EXPECT_FALSE(loop.isCurrent());
    bool syncOnLoop = false;
    std::thread poster([&] {
        loop.post([&] {
            order.push_back(2);
            EXPECT_EQ(loop.run(), -1) << "already running";
        });
        loop.sync([&] {
            syncOnLoop = loop.isCurrent();
            loop.sync([&] { order.push_back(3); }); // in place
        });
        loop.quit(7);
    });
    EXPECT_EQ(loop.run(), 7);
    poster.join();
    EXPECT_TRUE(syncOnLoop);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(EventLoop, TimersFireOnTheLoopAndStopWhenInvalidatedOrDropped) {
    EventLoop loop;
    int oneShot = 0;
    int selfStopping = 0;
    int dropped = 0;
    int droppedAtRelease = -1;
    bool onLoop = true;
    auto once = loop.scheduleTimer(0.01, false, [&] {
        ++oneShot;
        onLoop = onLoop && loop.isCurrent();
    });
    std::unique_ptr<Timer> repeating;
    repeating = loop.scheduleTimer(0.005, true, [&] {
        if (++selfStopping == 3)
            repeating->invalidate();
    });
    std::unique_ptr<Timer> droppedTimer = loop.scheduleTimer(0.005, true, [&] { ++dropped; });
    auto release = loop.scheduleTimer(0.05, false, [&] {
        droppedAtRelease = dropped;
        droppedTimer.reset();
    });
    auto stop = loop.scheduleTimer(0.15, false, [&] { loop.quit(); });
    EXPECT_EQ(loop.run(), 0);
    EXPECT_EQ(oneShot, 1);
    EXPECT_FALSE(once->isValid());
    EXPECT_TRUE(onLoop);
    EXPECT_EQ(selfStopping, 3);
    EXPECT_FALSE(repeating->isValid());
    EXPECT_GT(droppedAtRelease, 0);
    EXPECT_EQ(dropped, droppedAtRelease);
}

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
