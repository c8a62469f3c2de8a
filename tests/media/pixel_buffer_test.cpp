#include <climits>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <set>
#include <sys/mman.h>
#include <thread>
#include <vector>

#include "media/pixel_buffer.h"

namespace orlenta {
namespace {

bool allZero(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        if (data[i] != 0)
            return false;
    }
    return true;
}

TEST(PixelBuffer, GeometryOfOddSizes) {
    struct Case {
        int width;
        int height;
        size_t bytesPerRow;
    };
    for (const Case c : {Case{1, 1, 64}, Case{3, 5, 64}, Case{16, 2, 64}, Case{17, 3, 128},
                         Case{1280, 720, 5120}, Case{1281, 1, 5184}}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        auto buffer = PixelBuffer::create(c.width, c.height);
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(buffer->pixelFormat(), kPixelFormatBGRA);
        EXPECT_EQ(buffer->bytesPerRow(), c.bytesPerRow);
        EXPECT_EQ(buffer->dataSize(), c.bytesPerRow * static_cast<size_t>(c.height));
        EXPECT_GE(buffer->fd(), 0);
        PixelBufferLock lock(*buffer);
        ASSERT_TRUE(lock);
        EXPECT_TRUE(allZero(lock.data(), buffer->dataSize()));
    }
}

TEST(PixelBuffer, RejectsUnusableSizes) {
    EXPECT_EQ(PixelBuffer::create(0, 10), nullptr);
    EXPECT_EQ(PixelBuffer::create(10, 0), nullptr);
    EXPECT_EQ(PixelBuffer::create(-1, 10), nullptr);
    EXPECT_EQ(PixelBuffer::create(10, -5), nullptr);
    EXPECT_EQ(PixelBuffer::create(INT_MIN, INT_MIN), nullptr);
    // Sizes whose byte count does not fit the file-size type, and one that fits but is far beyond
    // any address space.
    EXPECT_EQ(PixelBuffer::create(INT_MAX, INT_MAX), nullptr);
    EXPECT_EQ(PixelBuffer::create(INT_MAX, 1 << 30), nullptr);
    EXPECT_EQ(PixelBuffer::create(1 << 24, 1 << 24), nullptr);
}

TEST(PixelBuffer, LocksNestAndGateTheBaseAddress) {
    auto buffer = PixelBuffer::create(8, 8);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->baseAddress(), nullptr);
    EXPECT_EQ(buffer->lockCount(), 0);

    ASSERT_TRUE(buffer->lockBaseAddress());
    uint8_t* base = buffer->baseAddress();
    ASSERT_NE(base, nullptr);
    ASSERT_TRUE(buffer->lockBaseAddress());
    EXPECT_EQ(buffer->lockCount(), 2);
    EXPECT_EQ(buffer->baseAddress(), base);
    buffer->unlockBaseAddress();
    EXPECT_EQ(buffer->baseAddress(), base);
    buffer->unlockBaseAddress();
    EXPECT_EQ(buffer->baseAddress(), nullptr);

    // An unbalanced unlock must not leave a negative count that swallows the next lock.
    buffer->unlockBaseAddress();
    EXPECT_EQ(buffer->lockCount(), 0);
    {
        PixelBufferLock lock(*buffer);
        EXPECT_EQ(lock.data(), base);
        EXPECT_EQ(buffer->lockCount(), 1);
    }
    EXPECT_EQ(buffer->lockCount(), 0);
}

TEST(PixelBuffer, MemfdHoldsThePixelsAndIsSealed) {
    auto buffer = PixelBuffer::create(3, 5);
    ASSERT_NE(buffer, nullptr);
    {
        PixelBufferLock lock(*buffer);
        ASSERT_TRUE(lock);
        for (int y = 0; y < buffer->height(); ++y) {
            uint8_t* row = lock.data() + static_cast<size_t>(y) * buffer->bytesPerRow();
            for (int x = 0; x < buffer->width(); ++x) {
                uint8_t* px = row + x * 4;
                px[0] = static_cast<uint8_t>(x);
                px[1] = static_cast<uint8_t>(y);
                px[2] = 0xAB;
                px[3] = 0xFF;
            }
        }
    }

    // A second, independent mapping of the fd (as another process would make) sees the pixels.
    void* view = mmap(nullptr, buffer->dataSize(), PROT_READ, MAP_SHARED, buffer->fd(), 0);
    ASSERT_NE(view, MAP_FAILED);
    const auto* bytes = static_cast<const uint8_t*>(view);
    const uint8_t* last = bytes + 4 * buffer->bytesPerRow() + 2 * 4;
    EXPECT_EQ(last[0], 2);
    EXPECT_EQ(last[1], 4);
    EXPECT_EQ(last[2], 0xAB);
    EXPECT_EQ(last[3], 0xFF);
    // Row padding stays untouched.
    EXPECT_EQ(bytes[3 * 4], 0);
    munmap(view, buffer->dataSize());

    const int seals = fcntl(buffer->fd(), F_GET_SEALS);
    ASSERT_GE(seals, 0);
    EXPECT_TRUE(seals & F_SEAL_SHRINK);
    EXPECT_TRUE(seals & F_SEAL_GROW);
    EXPECT_TRUE(seals & F_SEAL_SEAL);
    EXPECT_NE(ftruncate(buffer->fd(), 0), 0);
    EXPECT_TRUE(fcntl(buffer->fd(), F_GETFD) & FD_CLOEXEC);
}

TEST(PixelBuffer, SerialsAreNeverReused) {
    std::set<uint64_t> serials;
    for (int i = 0; i < 10; ++i) {
        auto buffer = PixelBuffer::create(2, 2); // freed at once, before the next is made
        ASSERT_NE(buffer, nullptr);
        serials.insert(buffer->serial());
    }
    EXPECT_EQ(serials.size(), 10u);
}

TEST(PixelBufferPool, RejectsUnusableAttributes) {
    using A = PixelBufferPool::Attributes;
    EXPECT_EQ(PixelBufferPool::create(A{0, 720, kPixelFormatBGRA, 4}), nullptr);
    EXPECT_EQ(PixelBufferPool::create(A{1280, -1, kPixelFormatBGRA, 4}), nullptr);
    EXPECT_EQ(PixelBufferPool::create(A{1280, 720, fourCC('N', 'V', '1', '2'), 4}), nullptr);
    EXPECT_EQ(PixelBufferPool::create(A{1280, 720, kPixelFormatBGRA, 0}), nullptr);
    EXPECT_EQ(PixelBufferPool::create(A{INT_MAX, INT_MAX, kPixelFormatBGRA, 4}), nullptr);

    auto pool = PixelBufferPool::create(A{});
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->allocatedCount(), 0u);
}

TEST(PixelBufferPool, ExhaustsAtMaxAndRecyclesReleasedBuffers) {
    auto pool = PixelBufferPool::create({64, 32, kPixelFormatBGRA, 3});
    ASSERT_NE(pool, nullptr);

    std::vector<std::shared_ptr<PixelBuffer>> out;
    for (int i = 0; i < 3; ++i) {
        auto buffer = pool->createPixelBuffer();
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(buffer->width(), 64);
        EXPECT_EQ(buffer->height(), 32);
        out.push_back(buffer);
    }
    EXPECT_EQ(pool->outstandingCount(), 3u);
    EXPECT_EQ(pool->allocatedCount(), 3u);
    EXPECT_EQ(pool->createPixelBuffer(), nullptr);
    EXPECT_EQ(pool->allocatedCount(), 3u);

    // A second reference keeps the buffer out; only the last one returns it.
    auto alias = out[1];
    const uint64_t serial = out[1]->serial();
    {
        PixelBufferLock lock(*out[1]);
        lock.data()[0] = 0x5A;
    }
    out[1]->lockBaseAddress(); // left locked on purpose: the pool must not pass the lock on
    out[1].reset();
    EXPECT_EQ(pool->createPixelBuffer(), nullptr);
    alias.reset();
    EXPECT_EQ(pool->outstandingCount(), 2u);
    EXPECT_EQ(pool->allocatedCount(), 3u);

    auto recycled = pool->createPixelBuffer();
    ASSERT_NE(recycled, nullptr);
    EXPECT_EQ(recycled->serial(), serial);
    EXPECT_EQ(recycled->lockCount(), 0);
    {
        PixelBufferLock lock(*recycled);
        EXPECT_EQ(lock.data()[0], 0x5A);
    }
    EXPECT_EQ(pool->allocatedCount(), 3u);
    EXPECT_EQ(pool->createPixelBuffer(), nullptr);
}

TEST(PixelBufferPool, BuffersOutliveTheirPool) {
    auto pool = PixelBufferPool::create({16, 16, kPixelFormatBGRA, 2});
    ASSERT_NE(pool, nullptr);
    auto held = pool->createPixelBuffer();
    auto released = pool->createPixelBuffer();
    ASSERT_NE(held, nullptr);
    ASSERT_NE(released, nullptr);
    released.reset();
    pool.reset();

    // Still usable, and freed (not returned anywhere) when dropped.
    PixelBufferLock lock(*held);
    ASSERT_TRUE(lock);
    std::memset(lock.data(), 0xFF, held->dataSize());
    EXPECT_EQ(lock.data()[held->dataSize() - 1], 0xFF);
}

TEST(PixelBufferPool, RequestsAndReleasesFromManyThreads) {
    constexpr size_t kMax = 4;
    auto pool = PixelBufferPool::create({32, 8, kPixelFormatBGRA, kMax});
    ASSERT_NE(pool, nullptr);
    std::atomic<int> granted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                auto buffer = pool->createPixelBuffer();
                if (!buffer)
                    continue;
                ++granted;
                EXPECT_LE(pool->outstandingCount(), kMax);
                // Hand it to another thread to release, as the pipeline does.
                std::thread([b = std::move(buffer)]() mutable { b.reset(); }).join();
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_GT(granted.load(), 0);
    EXPECT_EQ(pool->outstandingCount(), 0u);
    EXPECT_LE(pool->allocatedCount(), kMax);
}

} // namespace
} // namespace orlenta
