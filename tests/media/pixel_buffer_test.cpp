// Pixel buffers in sealed memfds, the pool that recycles them, media time and sample buffers; and
// logging: the escaped lines on standard error where no journal is reachable. (What a capture
// records is relied on by every test that checks a log line.)
#include <climits>
#include <cmath>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits>
#include <set>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "media/log.h"
#include "media/media_time.h"
#include "media/pixel_buffer.h"
#include "media/sample_buffer.h"

namespace orlenta {
namespace {

TEST(PixelBuffer, AnotherMappingOfTheSealedMemfdSeesThePixels) {
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
}

TEST(PixelBufferPool, RefusesUnusableSizesExhaustsAtItsMaximumAndRecyclesOnlyReleasedBuffers) {
    // Including sizes whose byte count does not fit the file-size type, and one that fits but is
    // far beyond any address space.
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

TEST(Time, ConversionsSaturateAndRefuseWhatIsNotATime) {
    EXPECT_TRUE(std::isnan(Time::make(1, 0).seconds()));
    for (const double seconds : {std::nan(""), HUGE_VAL, 1e10})
        EXPECT_FALSE(Time::fromSeconds(seconds).isValid()) << seconds;
    for (const auto& [seconds, nanoseconds] : {std::pair{1.0 / 30, int64_t{33'333'333}},
                                               {NAN, 0},
                                               {1e30, INT64_MAX},
                                               {-HUGE_VAL, INT64_MIN}})
        EXPECT_EQ(secondsToNanoseconds(seconds), nanoseconds) << seconds;
}

TEST(SampleBuffer, OnlyAMatchingBufferIsWrapped) {
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
