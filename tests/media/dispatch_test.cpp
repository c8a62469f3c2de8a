// Serial queues and the event loop (order, threads, waiting, delays, timers and lifetimes), the
// thread-affinity checks, pixel buffers in sealed memfds and the pool that recycles them, media
// time, sample buffers, and logging.
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <limits>
#include <set>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "media/dispatch.h"
#include "media/log.h"
#include "media/media_time.h"
#include "media/pixel_buffer.h"
#include "media/sample_buffer.h"
#include "media/thread_check.h"

namespace orlenta {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueue, RunsInOrderOnItsOwnThreadSyncRunsInPlaceThereAndDelaysAreKept) {
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

    // Delayed closures run in due order after plain ones, never early.
    std::mutex mutex;
    std::vector<std::string> delayed;
    auto record = [&](std::string name) {
        return [&, name] {
            std::lock_guard lock(mutex);
            delayed.push_back(name);
        };
    };
    std::promise<void> done;
    const auto start = std::chrono::steady_clock::now();
    auto lateAt = start;
    queue.asyncAfter(0.12, [&] {
        record("late")();
        lateAt = std::chrono::steady_clock::now();
        done.set_value();
    });
    queue.asyncAfter(0.06, record("middle"));
    queue.asyncAfter(-1, record("negative"));
    queue.asyncAfter(std::numeric_limits<double>::quiet_NaN(), record("nan"));
    queue.async(record("plain"));
    ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
    queue.sync([] {});
    // Zero-delay closures may run before or after the plain one, but all before the delayed ones.
    ASSERT_EQ(delayed.size(), 5u);
    EXPECT_EQ(delayed[3], "middle");
    EXPECT_EQ(delayed[4], "late");
    EXPECT_GE(lateAt - start, 120ms);
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

TEST(PixelBuffer, SealedMemfdsAnotherMappingSeesAndAPoolRecyclesOnlyReleasedUpToItsMaximum) {
    auto buffer = PixelBuffer::create(3, 5);
    {
        PixelBufferLock lock(*buffer);
        uint8_t* last = lock.data() + 4 * buffer->bytesPerRow() + 2 * 4;
        last[0] = 2;
        last[3] = 0xFF;
    }
    // As another process would map it.
    void* view = mmap(nullptr, buffer->dataSize(), PROT_READ, MAP_SHARED, buffer->fd(), 0);
    ASSERT_NE(view, MAP_FAILED);
    const uint8_t* last = static_cast<const uint8_t*>(view) + 4 * buffer->bytesPerRow() + 2 * 4;
    EXPECT_EQ(last[0], 2);
    EXPECT_EQ(last[3], 0xFF);
    munmap(view, buffer->dataSize());

    const int seals = fcntl(buffer->fd(), F_GET_SEALS);
    EXPECT_EQ(seals & (F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL),
              F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
    EXPECT_NE(ftruncate(buffer->fd(), 0), 0);
    EXPECT_TRUE(fcntl(buffer->fd(), F_GETFD) & FD_CLOEXEC);

    // Serials tell buffers apart even when one is made where another was freed.
    std::set<uint64_t> serials;
    for (int i = 0; i < 10; ++i)
        serials.insert(PixelBuffer::create(2, 2)->serial());
    EXPECT_EQ(serials.size(), 10u);

    // Unusable sizes are refused, including sizes whose byte count does not fit the file-size type,
    // and one that fits but is far beyond any address space.
    for (const auto& [width, height] :
         {std::pair{0, 10}, {10, -5}, {INT_MIN, INT_MIN}, {INT_MAX, INT_MAX}, {1 << 24, 1 << 24}})
        EXPECT_FALSE(PixelBuffer::create(width, height)) << width << "x" << height;
    using A = PixelBufferPool::Attributes;
    for (const A& bad :
         {A{0, 720, kPixelFormatBGRA, 4}, A{1280, -1, kPixelFormatBGRA, 4},
          A{1280, 720, fourCC('N', 'V', '1', '2'), 4}, A{1280, 720, kPixelFormatBGRA, 0},
          A{INT_MAX, INT_MAX, kPixelFormatBGRA, 4}})
        EXPECT_FALSE(PixelBufferPool::create(bad)) << bad.width << "x" << bad.height;

    auto pool = PixelBufferPool::create({64, 32, kPixelFormatBGRA, 3});
    ASSERT_TRUE(pool);
    EXPECT_EQ(pool->allocatedCount(), 0u);
    std::vector<std::shared_ptr<PixelBuffer>> out;
    for (int i = 0; i < 3; ++i)
        out.push_back(pool->createPixelBuffer());
    EXPECT_EQ(out[2]->width(), 64);
    EXPECT_EQ(pool->outstandingCount(), 3u);
    EXPECT_FALSE(pool->createPixelBuffer());

    // A second reference keeps the buffer out; only the last one returns it, unlocked.
    auto alias = out[1];
    const uint64_t serial = out[1]->serial();
    {
        PixelBufferLock lock(*out[1]);
        lock.data()[0] = 0x5A;
    }
    out[1]->lockBaseAddress(); // left locked on purpose: the pool must not pass the lock on
    out[1].reset();
    EXPECT_FALSE(pool->createPixelBuffer());
    alias.reset();
    EXPECT_EQ(pool->outstandingCount(), 2u);
    auto recycled = pool->createPixelBuffer();
    ASSERT_TRUE(recycled);
    EXPECT_EQ(recycled->serial(), serial);
    EXPECT_EQ(recycled->lockCount(), 0);
    EXPECT_EQ(PixelBufferLock(*recycled).data()[0], 0x5A);
    EXPECT_EQ(pool->allocatedCount(), 3u);

    // Buffers outlive their pool, and are freed, not returned, when dropped.
    pool.reset();
    out.clear();
    PixelBufferLock lock(*recycled);
    ASSERT_TRUE(lock);
    lock.data()[recycled->dataSize() - 1] = 0xFF;
}

TEST(PixelBufferPool, RequestsAndReleasesFromManyThreads) {
    constexpr size_t kMax = 4;
    auto pool = PixelBufferPool::create({32, 8, kPixelFormatBGRA, kMax});
    std::atomic<int> granted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                auto buffer = pool->createPixelBuffer();
                if (!buffer)
                    continue;
                ++granted;
                EXPECT_LE(pool->outstandingCount(), kMax);
                // Released on another thread, as the pipeline does.
                std::thread([b = std::move(buffer)]() mutable { b.reset(); }).join();
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_GT(granted.load(), 0);
    EXPECT_EQ(pool->outstandingCount(), 0u);
    EXPECT_LE(pool->allocatedCount(), kMax);
}

TEST(SampleBuffer, TimesSaturateAndRefuseWhatIsNotATimeAndOnlyAMatchingBufferIsWrapped) {
    EXPECT_TRUE(std::isnan(Time::make(1, 0).seconds()));
    for (const double seconds : {std::nan(""), HUGE_VAL, 1e10})
        EXPECT_FALSE(Time::fromSeconds(seconds).isValid()) << seconds;
    for (const auto& [seconds, nanoseconds] : {std::pair{1.0 / 30, int64_t{33'333'333}},
                                               {NAN, 0},
                                               {1e30, INT64_MAX},
                                               {-HUGE_VAL, INT64_MIN}})
        EXPECT_EQ(secondsToNanoseconds(seconds), nanoseconds) << seconds;

    // Only a matching buffer is wrapped.
    const auto format = VideoFormatDescription::create(kPixelFormatBGRA, 4, 2);
    ASSERT_TRUE(format);
    EXPECT_FALSE(VideoFormatDescription::create(kPixelFormatBGRA, 0, 2));
    EXPECT_FALSE(VideoFormatDescription::create(fourCC('2', 'v', 'u', 'y'), 4, 2));
    const auto buffer = PixelBuffer::create(4, 2);
    EXPECT_EQ(VideoFormatDescription::forImageBuffer(*buffer), format);
    const SampleTiming timing{Time::make(1, 30), Time::make(123, 1000), Time::invalid()};
    EXPECT_TRUE(SampleBuffer::createReady(buffer, *format, timing));
    EXPECT_FALSE(SampleBuffer::createReady(nullptr, *format, timing));
    EXPECT_FALSE(SampleBuffer::createReady(PixelBuffer::create(2, 4), *format, timing));
}

// Without a capture, lines go to the journal when there is one, else to standard error. The
// stderr form is only observable where no journal is reachable.
TEST(Logger, WritesEscapedLinesToStderrWithoutJournal) {
    if (access("/run/systemd/journal/socket", F_OK) == 0)
        GTEST_SKIP() << "a journal is reachable here; lines go there, not to stderr";
    const Logger logger("example.orlenta.camera", "sink");
    ::testing::internal::CaptureStderr();
    logger.info("link opened");
    logger.error("peer said \x1b[2Jhi\nfake line\\");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "example.orlenta.camera [sink] info: link opened\n"
              "example.orlenta.camera [sink] error: peer said \\x1b[2Jhi\\nfake line\\\\\n");
}

} // namespace
} // namespace orlenta
