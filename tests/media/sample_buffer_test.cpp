#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <string>
#include <time.h>
#include <vector>

#include "media/media_time.h"
#include "media/sample_buffer.h"
#include "media/simple_queue.h"

namespace orlenta {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();

TEST(Time, ValuesAndValidity) {
    const Time frame = Time::make(1, 30);
    EXPECT_TRUE(frame.isValid());
    EXPECT_DOUBLE_EQ(frame.seconds(), 1.0 / 30);

    EXPECT_FALSE(Time::invalid().isValid());
    EXPECT_TRUE(std::isnan(Time::invalid().seconds()));
    EXPECT_FALSE(Time::make(1, 0).isValid());
    EXPECT_FALSE(Time::make(1, -30).isValid());
    // A hand-built value with a flag that contradicts its timescale is not valid either.
    EXPECT_FALSE((Time{5, 0, true}).isValid());
    EXPECT_TRUE(std::isnan((Time{5, 0, true}).seconds()));
}

TEST(Time, EqualityAcrossTimescales) {
    EXPECT_EQ(Time::make(1, 30), Time::make(2, 60));
    EXPECT_EQ(Time::make(1, 3), Time::make(333'333'333, 999'999'999));
    // Exact, not within a rounding error.
    EXPECT_NE(Time::make(1, 30), Time::make(33'333'333, 1'000'000'000));
    EXPECT_EQ(Time::make(-1, 2), Time::make(-500, 1000));
    EXPECT_EQ(Time::make(0, 1), Time::make(0, 90000));
    EXPECT_NE(Time::make(1, 30), Time::make(1, 31));
    EXPECT_NE(Time::make(-1, 3), Time::make(1, 3));
    // Large values whose cross products would overflow a naive comparison.
    EXPECT_EQ(Time::make(kInt64Max / 2 * 2, 2), Time::make(kInt64Max / 2, 1));
    EXPECT_NE(Time::make(kInt64Max, 1'000'000'000), Time::make(kInt64Max - 1, 1'000'000'000));
    EXPECT_EQ(Time::make(kInt64Min, 1), Time::make(kInt64Min, 1));

    EXPECT_EQ(Time::invalid(), Time::invalid());
    EXPECT_NE(Time::invalid(), Time::make(0, 1));
    EXPECT_NE(Time::make(0, 1), Time::invalid());
}

TEST(Time, FromSeconds) {
    const Time ns = Time::fromSeconds(1.0 / 30);
    ASSERT_TRUE(ns.isValid());
    EXPECT_EQ(ns.timescale, 1'000'000'000);
    EXPECT_EQ(ns.value, 33'333'333);
    EXPECT_EQ(Time::fromSeconds(2.5, 30), Time::make(75, 30));
    // The nearest value, not a truncated one.
    EXPECT_EQ(Time::fromSeconds(0.049, 10).value, 0);
    EXPECT_EQ(Time::fromSeconds(0.051, 10).value, 1);
    EXPECT_EQ(Time::fromSeconds(-0.051, 10).value, -1);

    EXPECT_FALSE(Time::fromSeconds(kNaN).isValid());
    EXPECT_FALSE(Time::fromSeconds(kInf).isValid());
    EXPECT_FALSE(Time::fromSeconds(-kInf).isValid());
    EXPECT_FALSE(Time::fromSeconds(1.0, 0).isValid());
    EXPECT_FALSE(Time::fromSeconds(1.0, -1).isValid());
    EXPECT_FALSE(Time::fromSeconds(1e10).isValid()); // 1e19 ns is past int64
    EXPECT_FALSE(Time::fromSeconds(-1e10).isValid());
    EXPECT_TRUE(Time::fromSeconds(9e9).isValid());
}

TEST(Time, SecondsToNanoseconds) {
    EXPECT_EQ(secondsToNanoseconds(1.0), 1'000'000'000);
    EXPECT_EQ(secondsToNanoseconds(1.0 / 30), 33'333'333);
    EXPECT_EQ(secondsToNanoseconds(2.9999999999), 2'999'999'999);
    EXPECT_EQ(secondsToNanoseconds(-1.0 / 30), -33'333'333); // toward zero, not down
    EXPECT_EQ(secondsToNanoseconds(-2.9999999999), -2'999'999'999);
    EXPECT_EQ(secondsToNanoseconds(0.0), 0);
    EXPECT_EQ(secondsToNanoseconds(kNaN), 0);
    EXPECT_EQ(secondsToNanoseconds(kInf), kInt64Max);
    EXPECT_EQ(secondsToNanoseconds(1e30), kInt64Max);
    EXPECT_EQ(secondsToNanoseconds(-kInf), kInt64Min);
    EXPECT_EQ(secondsToNanoseconds(-1e30), kInt64Min);
}

TEST(Time, HostClockIsTheSharedMonotonicClock) {
    const double before = currentMediaTime();
    const Time host = hostClockTime();
    const double after = currentMediaTime();
    ASSERT_TRUE(host.isValid());
    EXPECT_EQ(host.timescale, 1'000'000'000);
    EXPECT_LE(before, host.seconds());
    EXPECT_LE(host.seconds(), after);

    // The same clock as CLOCK_MONOTONIC read directly, as another process would read it.
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const double direct = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    EXPECT_LE(after, direct);
    EXPECT_LT(direct - after, 1.0);
}

TEST(VideoFormatDescription, CreateAndMatch) {
    const auto format = VideoFormatDescription::create(kPixelFormatBGRA, 1280, 720);
    ASSERT_TRUE(format.has_value());

    EXPECT_FALSE(VideoFormatDescription::create(kPixelFormatBGRA, 0, 720));
    EXPECT_FALSE(VideoFormatDescription::create(kPixelFormatBGRA, 1280, -720));
    EXPECT_FALSE(VideoFormatDescription::create(fourCC('2', 'v', 'u', 'y'), 1280, 720));

    auto buffer = PixelBuffer::create(1280, 720);
    ASSERT_NE(buffer, nullptr);
    const auto fromBuffer = VideoFormatDescription::forImageBuffer(*buffer);
    ASSERT_TRUE(fromBuffer.has_value());
    EXPECT_EQ(*fromBuffer, *format);
    EXPECT_TRUE(format->matches(*buffer));
    EXPECT_FALSE(VideoFormatDescription::create(kPixelFormatBGRA, 720, 1280)->matches(*buffer));
    EXPECT_FALSE(VideoFormatDescription{}.matches(*buffer));
}

TEST(SampleBuffer, CreateReadyWrapsWithoutCopying) {
    auto buffer = PixelBuffer::create(4, 2);
    ASSERT_NE(buffer, nullptr);
    const auto format = VideoFormatDescription::forImageBuffer(*buffer);
    ASSERT_TRUE(format);
    const SampleTiming timing{Time::make(1, 30), Time::make(123, 1000), Time::invalid()};

    auto sample = SampleBuffer::createReady(buffer, *format, timing);
    ASSERT_NE(sample, nullptr);
    EXPECT_EQ(sample->imageBuffer(), buffer);
    EXPECT_EQ(sample->formatDescription(), *format);
    EXPECT_EQ(sample->presentationTime(), Time::make(123, 1000));

    // The sample keeps the buffer alive on its own.
    const uint64_t serial = buffer->serial();
    buffer.reset();
    EXPECT_EQ(sample->imageBuffer()->serial(), serial);

    EXPECT_EQ(SampleBuffer::createReady(nullptr, *format, timing), nullptr);
    auto other = PixelBuffer::create(2, 4);
    EXPECT_EQ(SampleBuffer::createReady(other, *format, timing), nullptr);
    EXPECT_EQ(SampleBuffer::createReady(other, VideoFormatDescription{}, timing), nullptr);
}

TEST(SampleBuffer, Attachments) {
    auto buffer = PixelBuffer::create(2, 2);
    ASSERT_NE(buffer, nullptr);
    auto sample =
        SampleBuffer::createReady(buffer, *VideoFormatDescription::forImageBuffer(*buffer), {});
    ASSERT_NE(sample, nullptr);

    EXPECT_TRUE(sample->sampleAttachments(false).empty());
    auto& attachments = sample->sampleAttachments(true);
    ASSERT_EQ(attachments.size(), 1u);
    EXPECT_FALSE(attachments[0].displayImmediately);
    attachments[0].displayImmediately = true;

    // Asking again neither adds an entry nor resets the flag.
    ASSERT_EQ(sample->sampleAttachments(true).size(), 1u);
    EXPECT_TRUE(sample->sampleAttachments(false)[0].displayImmediately);
}

TEST(SimpleQueue, FifoWithinCapacity) {
    SimpleQueue<std::shared_ptr<int>> queue(3);
    EXPECT_EQ(queue.capacity(), 3u);
    EXPECT_EQ(queue.count(), 0u);
    EXPECT_FALSE(queue.dequeue().has_value());

    for (int i = 1; i <= 3; ++i)
        EXPECT_TRUE(queue.enqueue(std::make_shared<int>(i)));
    EXPECT_EQ(queue.count(), 3u);

    // A full queue refuses without taking the caller's reference.
    auto extra = std::make_shared<int>(4);
    EXPECT_FALSE(queue.enqueue(std::move(extra)));
    ASSERT_NE(extra, nullptr);
    EXPECT_EQ(*extra, 4);
    EXPECT_EQ(extra.use_count(), 1);

    EXPECT_EQ(**queue.dequeue(), 1);
    EXPECT_TRUE(queue.enqueue(extra));
    EXPECT_EQ(extra.use_count(), 2);
    EXPECT_EQ(**queue.dequeue(), 2);
    EXPECT_EQ(**queue.dequeue(), 3);
    EXPECT_EQ(**queue.dequeue(), 4);
    EXPECT_FALSE(queue.dequeue().has_value());

    EXPECT_TRUE(queue.enqueue(std::make_shared<int>(5)));
    queue.reset();
    EXPECT_EQ(queue.count(), 0u);
    EXPECT_EQ(extra.use_count(), 1);
}

TEST(SimpleQueue, ZeroCapacityIsAlwaysFull) {
    SimpleQueue<std::unique_ptr<int>> queue(0);
    auto element = std::make_unique<int>(7);
    EXPECT_FALSE(queue.enqueue(std::move(element)));
    ASSERT_NE(element, nullptr);
    EXPECT_EQ(queue.count(), 0u);
    EXPECT_FALSE(queue.dequeue().has_value());
}

} // namespace
} // namespace orlenta
