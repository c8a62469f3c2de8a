#include <atomic>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <pthread.h>
#include <string>
#include <vector>

#include "media/dispatch.h"

namespace orlenta {
namespace {

using namespace std::chrono_literals;

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Polls until the condition holds or a generous deadline passes.
template <typename Condition> bool eventually(Condition condition, double timeoutSeconds = 10) {
    const double deadline = nowSeconds() + timeoutSeconds;
    while (!condition()) {
        if (nowSeconds() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// --- SerialQueue -----------------------------------------------------------------------------

TEST(SerialQueue, RunsInOrderOnItsOwnNamedThread) {
    SerialQueue queue("example.orlenta.camera.video");
    EXPECT_FALSE(queue.isCurrent());

    std::vector<int> order;
    std::atomic<bool> allOnQueue{true};
    for (int i = 0; i < 500; ++i) {
        queue.async([&, i] {
            order.push_back(i);
            if (!queue.isCurrent())
                allOnQueue = false;
        });
    }
    std::string threadName;
    std::thread::id queueThread;
    queue.sync([&] {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        threadName = name;
        queueThread = std::this_thread::get_id();
    });
    ASSERT_EQ(order.size(), 500u);
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(order[i], i);
    EXPECT_TRUE(allOnQueue);
    EXPECT_EQ(threadName, "example.orlenta");
    EXPECT_NE(queueThread, std::this_thread::get_id());
}

TEST(SerialQueue, SyncWaitsAndRunsInPlaceOnItsOwnThread) {
    SerialQueue queue("sync");
    SerialQueue other("other");

    int value = 0;
    queue.sync([&] { value = 1; });
    EXPECT_EQ(value, 1);

    // From the queue's own thread sync must not wait for itself; from another queue it waits.
    std::vector<std::string> steps;
    queue.sync([&] {
        steps.push_back("outer");
        queue.sync([&] {
            steps.push_back("inner");
            EXPECT_TRUE(queue.isCurrent());
        });
        other.sync([&] {
            steps.push_back("other");
            EXPECT_TRUE(other.isCurrent());
            EXPECT_FALSE(queue.isCurrent());
        });
        steps.push_back("after");
    });
    EXPECT_EQ(steps, (std::vector<std::string>{"outer", "inner", "other", "after"}));
}

TEST(SerialQueue, DelayedClosuresRunInDueOrderAfterPlainOnes) {
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

    // Zero-delay closures may run before or after the plain one, but all of them before the
    // delayed ones, which run in due order and not early.
    ASSERT_EQ(order.size(), 5u);
    EXPECT_EQ(order[3], "middle");
    EXPECT_EQ(order[4], "late");
    EXPECT_GE(lateAt - start, 0.12);
}

TEST(SerialQueue, DestructorDrainsSubmittedAndDropsTheRest) {
    std::atomic<int> ran{0};
    std::atomic<bool> futureRan{false};
    std::atomic<bool> lateRan{false};
    auto lateCapture = std::make_shared<int>(0);
    {
        SerialQueue queue("drain");
        queue.async([] { std::this_thread::sleep_for(50ms); });
        for (int i = 0; i < 100; ++i)
            queue.async([&] { ++ran; });
        queue.asyncAfter(30, [&] { futureRan = true; });
        queue.async([&, lateCapture] {
            // Submitted while the queue is being destroyed: dropped, captures released.
            queue.async([&, lateCapture] { lateRan = true; });
            queue.asyncAfter(0, [&, lateCapture] { lateRan = true; });
            // Waiting on itself still runs in place rather than hanging.
            int inPlace = 0;
            queue.sync([&] { inPlace = 1; });
            EXPECT_EQ(inPlace, 1);
        });
    }
    EXPECT_EQ(ran.load(), 100);
    EXPECT_FALSE(futureRan);
    EXPECT_FALSE(lateRan);
    EXPECT_EQ(lateCapture.use_count(), 1);
}

TEST(SerialQueue, CanBeDestroyedFromItsOwnClosure) {
    auto queue = std::make_shared<SerialQueue>("self-destroy");
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto ran = std::make_shared<std::atomic<int>>(0);
    queue->async([released] { released.wait(); });
    queue->async([queue, ran] { ++*ran; }); // this closure holds the last reference at the end
    for (int i = 0; i < 3; ++i)
        queue->async([ran] { ++*ran; });
    queue.reset();
    release.set_value();
    EXPECT_TRUE(eventually([&] { return ran->load() == 4; }));
}

// --- EventLoop -------------------------------------------------------------------------------

TEST(EventLoop, ServesPostsFromAnyThreadUntilQuit) {
    EventLoop loop;
    std::vector<int> order;
    loop.post([&] { order.push_back(1); }); // before run()
    EXPECT_FALSE(loop.isCurrent());

    std::thread poster([&] {
        loop.post([&] {
            order.push_back(2);
            EXPECT_TRUE(loop.isCurrent());
            EXPECT_EQ(loop.run(), -1); // already running
        });
        loop.post([&] { order.push_back(3); });
        loop.quit(7);
    });
    EXPECT_EQ(loop.run(), 7);
    poster.join();
    EXPECT_FALSE(loop.isCurrent());
    // The quit may overtake posts; whatever was left is served by the next run.
    loop.post([&] { loop.quit(0); });
    EXPECT_EQ(loop.run(), 0);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

    // A quit before run() ends the next run() at once.
    loop.quit(3);
    EXPECT_EQ(loop.run(), 3);
}

TEST(EventLoop, SyncFromAnotherThreadAndInPlace) {
    EventLoop loop;
    int value = 0;
    bool onLoop = false;
    std::thread worker([&] {
        loop.sync([&] {
            value = 42;
            onLoop = loop.isCurrent();
            int inner = 0;
            loop.sync([&] { inner = 1; });
            EXPECT_EQ(inner, 1);
        });
        EXPECT_EQ(value, 42);
        loop.quit();
    });
    EXPECT_EQ(loop.run(), 0);
    worker.join();
    EXPECT_TRUE(onLoop);
}

TEST(EventLoop, TimersFireOnTheLoopAndStopWhenInvalidated) {
    EventLoop loop;
    int oneShot = 0;
    int selfStopping = 0;
    int dropped = 0;
    int droppedAtRelease = -1;
    bool timersOnLoop = true;

    auto once = loop.scheduleTimer(0.01, false, [&] {
        ++oneShot;
        timersOnLoop = timersOnLoop && loop.isCurrent();
    });
    std::unique_ptr<Timer> repeating;
    repeating = loop.scheduleTimer(0.005, true, [&] {
        if (++selfStopping == 3)
            repeating->invalidate();
    });
    std::unique_ptr<Timer> droppedTimer = loop.scheduleTimer(0.005, true, [&] { ++dropped; });
    // Destroys the other timer's handle from the loop, after it has fired a few times.
    auto release = loop.scheduleTimer(0.05, false, [&] {
        droppedAtRelease = dropped;
        droppedTimer.reset();
    });
    auto stop = loop.scheduleTimer(0.15, false, [&] { loop.quit(); });

    EXPECT_TRUE(once->isValid());
    EXPECT_EQ(loop.run(), 0);
    EXPECT_EQ(oneShot, 1);
    EXPECT_FALSE(once->isValid());
    EXPECT_EQ(selfStopping, 3);
    EXPECT_FALSE(repeating->isValid());
    EXPECT_GT(droppedAtRelease, 0);
    EXPECT_EQ(dropped, droppedAtRelease);
    EXPECT_TRUE(timersOnLoop);
}

TEST(EventLoop, LateRepeatingTimerSkipsMissedTicks) {
    EventLoop loop;
    constexpr double kInterval = 0.05;
    std::vector<double> fired;
    double blockEnd = 0;
    auto timer = loop.scheduleTimer(kInterval, true, [&] {
        fired.push_back(nowSeconds());
        if (fired.size() == 1) {
            // Hold the loop for six intervals.
            std::this_thread::sleep_for(std::chrono::duration<double>(6 * kInterval));
            blockEnd = nowSeconds();
        }
        if (fired.size() == 4)
            loop.quit();
    });
    loop.run();
    ASSERT_EQ(fired.size(), 4u);
    // A burst would fire the six missed ticks right away; at most one catch-up tick is allowed.
    int soonAfterBlock = 0;
    for (size_t i = 1; i < fired.size(); ++i) {
        if (fired[i] - blockEnd < kInterval / 2)
            ++soonAfterBlock;
    }
    EXPECT_LE(soonAfterBlock, 1);
}

// --- ManualExecutor --------------------------------------------------------------------------

TEST(ManualExecutor, RunsPostedClosuresOnlyWhenAsked) {
    ManualExecutor executor;
    EXPECT_TRUE(executor.isCurrent());
    std::vector<int> order;
    executor.post([&] {
        order.push_back(1);
        executor.post([&] { order.push_back(3); });
    });
    executor.post([&] { order.push_back(2); });
    EXPECT_EQ(executor.pendingCount(), 2u);
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(executor.runPending(), 3u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(executor.pendingCount(), 0u);
    EXPECT_EQ(executor.runPending(), 0u);

    bool otherThreadIsCurrent = true;
    std::thread([&] { otherThreadIsCurrent = executor.isCurrent(); }).join();
    EXPECT_FALSE(otherThreadIsCurrent);
}

TEST(ManualExecutor, TimersFollowTheVirtualClockInTimeOrder) {
    ManualExecutor executor;
    EXPECT_EQ(executor.now(), 0);
    std::vector<std::string> log;
    auto note = [&](const std::string& what) {
        log.push_back(what + "@" + std::to_string(executor.now()).substr(0, 4));
    };
    auto slow = executor.scheduleTimer(0.5, true, [&] { note("slow"); });
    auto fast = executor.scheduleTimer(0.25, true, [&] {
        note("fast");
        executor.post([&] { note("post"); });
    });
    auto once = executor.scheduleTimer(0.6, false, [&] { note("once"); });
    EXPECT_EQ(executor.activeTimerCount(), 3u);

    executor.advance(0.2);
    EXPECT_TRUE(log.empty());
    executor.advance(0.8);
    EXPECT_EQ(executor.now(), 1.0);
    // Timers due together fire in the order they were made; posts run between timers.
    EXPECT_EQ(log, (std::vector<std::string>{"fast@0.25", "post@0.25", "slow@0.50", "fast@0.50",
                                             "post@0.50", "once@0.60", "fast@0.75", "post@0.75",
                                             "slow@1.00", "fast@1.00", "post@1.00"}));
    EXPECT_EQ(executor.activeTimerCount(), 2u);
    EXPECT_FALSE(once->isValid());

    // Time does not run backwards or jump to infinity.
    executor.advance(-5);
    executor.advance(std::numeric_limits<double>::quiet_NaN());
    executor.advance(std::numeric_limits<double>::infinity());
    EXPECT_EQ(executor.now(), 1.0);
}

TEST(ManualExecutor, InvalidatingAndDroppingTimers) {
    ManualExecutor executor;
    int selfInvalidating = 0;
    std::unique_ptr<Timer> first;
    first = executor.scheduleTimer(1, true, [&] {
        if (++selfInvalidating == 2)
            first->invalidate();
    });
    int selfDestroying = 0;
    std::unique_ptr<Timer> second;
    second = executor.scheduleTimer(1, true, [&] {
        ++selfDestroying;
        second.reset(); // the handle dies inside its own closure
    });
    int dropped = 0;
    auto third = executor.scheduleTimer(1, true, [&] { ++dropped; });
    int invalidatedElsewhere = 0;
    auto fourth = executor.scheduleTimer(1, false, [&] { ++invalidatedElsewhere; });
    std::thread([&] { fourth->invalidate(); }).join();
    EXPECT_EQ(executor.activeTimerCount(), 3u);
    third.reset();
    EXPECT_EQ(executor.activeTimerCount(), 2u);

    executor.advance(10);
    EXPECT_EQ(selfInvalidating, 2);
    EXPECT_EQ(selfDestroying, 1);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(dropped, 0);
    EXPECT_EQ(invalidatedElsewhere, 0);
    EXPECT_FALSE(first->isValid());
    EXPECT_EQ(executor.activeTimerCount(), 0u);

    // A handle may outlive its executor.
    std::unique_ptr<Timer> orphan;
    {
        ManualExecutor shortLived;
        orphan = shortLived.scheduleTimer(1, true, [] {});
    }
    EXPECT_TRUE(orphan->isValid());
    orphan->invalidate();
    EXPECT_FALSE(orphan->isValid());
}

TEST(ManualExecutor, SyncFromAnotherThreadAndRunUntil) {
    ManualExecutor executor;
    bool ranOnMain = false;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        executor.sync([&] { ranOnMain = executor.isCurrent(); });
        returned = true;
    });
    EXPECT_TRUE(executor.runUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_TRUE(ranOnMain);

    // Nothing arrives: false after the timeout.
    EXPECT_FALSE(executor.runUntil([] { return false; }, 0.05));

    // A condition another thread makes true without posting anything.
    std::atomic<bool> flag{false};
    std::thread setter([&] {
        std::this_thread::sleep_for(20ms);
        flag = true;
    });
    EXPECT_TRUE(executor.runUntil([&] { return flag.load(); }));
    setter.join();
}

TEST(ManualExecutor, DestroyingReleasesWaitingSync) {
    auto executor = std::make_unique<ManualExecutor>();
    ManualExecutor* raw = executor.get();
    std::atomic<bool> ran{false};
    std::thread worker([&] { raw->sync([&] { ran = true; }); });
    ASSERT_TRUE(eventually([&] { return executor->pendingCount() == 1; }));
    executor.reset();
    worker.join();
    EXPECT_FALSE(ran);
}

} // namespace
} // namespace orlenta
