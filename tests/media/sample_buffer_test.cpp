// Media time, format descriptions and sample buffers.
#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <time.h>

#include "media/media_time.h"
#include "media/sample_buffer.h"

namespace orlenta {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();

TEST(Time, ValidityAndExactEqualityAcrossTimescales) {
    EXPECT_DOUBLE_EQ(Time::make(1, 30).seconds(), 1.0 / 30);
    for (const Time invalid :
         {Time::invalid(), Time::make(1, 0), Time::make(1, -30), Time{5, 0, true}}) {
        EXPECT_FALSE(invalid.isValid());
        EXPECT_TRUE(std::isnan(invalid.seconds()));
    }
    for (const auto& [a, b, equal] :
         {std::tuple{Time::make(1, 30), Time::make(2, 60), true},
          {Time::make(1, 3), Time::make(333'333'333, 999'999'999), true},
          {Time::make(1, 30), Time::make(33'333'333, 1'000'000'000), false}, // exact, not rounded
          {Time::make(-1, 2), Time::make(-500, 1000), true},
          {Time::make(0, 1), Time::make(0, 90000), true},
          {Time::make(1, 30), Time::make(1, 31), false},
          {Time::make(-1, 3), Time::make(1, 3), false},
          // Cross products that would overflow a naive comparison.
          {Time::make(kInt64Max / 2 * 2, 2), Time::make(kInt64Max / 2, 1), true},
          {Time::make(kInt64Max, 1'000'000'000), Time::make(kInt64Max - 1, 1'000'000'000), false},
          {Time::make(int64_t{1} << 62, 1), Time::make(0, 4), false},
          {Time::make(kInt64Min, 1), Time::make(kInt64Min, 1), true},
          {Time::invalid(), Time::invalid(), true},
          {Time::invalid(), Time::make(0, 1), false}}) {
        EXPECT_EQ(a == b, equal) << a.value << "/" << a.timescale << " " << b.value << "/"
                                 << b.timescale;
        EXPECT_EQ(b == a, equal);
    }
}

TEST(Time, FromAndToSecondsRoundAsTheyShouldAndStayInRange) {
    EXPECT_EQ(Time::fromSeconds(1.0 / 30), Time::make(33'333'333, 1'000'000'000));
    EXPECT_EQ(Time::fromSeconds(1.0 / 30).timescale, 1'000'000'000);
    EXPECT_EQ(Time::fromSeconds(2.5, 30), Time::make(75, 30));
    // The nearest value, not a truncated one.
    for (const auto& [seconds, value] : {std::pair{0.049, 0}, {0.051, 1}, {-0.051, -1}})
        EXPECT_EQ(Time::fromSeconds(seconds, 10).value, value) << seconds;
    for (const auto& [seconds, timescale] : {std::pair{kNaN, 1'000'000'000},
                                             {kInf, 1'000'000'000},
                                             {-kInf, 1'000'000'000},
                                             {1.0, 0},
                                             {1.0, -1},
                                             {1e10, 1'000'000'000},
                                             {-1e10, 1'000'000'000}})
        EXPECT_FALSE(Time::fromSeconds(seconds, timescale).isValid())
            << seconds << " " << timescale;
    EXPECT_TRUE(Time::fromSeconds(9e9).isValid());

    // Toward zero, saturating, NaN as 0.
    for (const auto& [seconds, nanoseconds] : {std::pair{1.0, int64_t{1'000'000'000}},
                                               {1.0 / 30, 33'333'333},
                                               {2.9999999999, 2'999'999'999},
                                               {-1.0 / 30, -33'333'333},
                                               {-2.9999999999, -2'999'999'999},
                                               {0.0, 0},
                                               {kNaN, 0},
                                               {kInf, kInt64Max},
                                               {1e30, kInt64Max},
                                               {-kInf, kInt64Min},
                                               {-1e30, kInt64Min}})
        EXPECT_EQ(secondsToNanoseconds(seconds), nanoseconds) << seconds;
}

TEST(Time, HostClockIsTheMonotonicClockEveryProcessReads) {
    const double before = currentMediaTime();
    const Time host = hostClockTime();
    const double after = currentMediaTime();
    ASSERT_TRUE(host.isValid());
    EXPECT_EQ(host.timescale, 1'000'000'000);
    EXPECT_LE(before, host.seconds());
    EXPECT_LE(host.seconds(), after);
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const double direct = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    EXPECT_LE(after, direct);
    EXPECT_LT(direct - after, 1.0);
}

TEST(SampleBuffer, WrapsAMatchingBufferWithoutCopying) {
    const auto format = VideoFormatDescription::create(kPixelFormatBGRA, 4, 2);
    ASSERT_TRUE(format);
    EXPECT_FALSE(VideoFormatDescription::create(kPixelFormatBGRA, 0, 2));
    EXPECT_FALSE(VideoFormatDescription::create(kPixelFormatBGRA, 4, -2));
    EXPECT_FALSE(VideoFormatDescription::create(fourCC('2', 'v', 'u', 'y'), 4, 2));
    auto buffer = PixelBuffer::create(4, 2);
    EXPECT_EQ(VideoFormatDescription::forImageBuffer(*buffer), format);
    EXPECT_TRUE(format->matches(*buffer));

    const SampleTiming timing{Time::make(1, 30), Time::make(123, 1000), Time::invalid()};
    auto sample = SampleBuffer::createReady(buffer, *format, timing);
    ASSERT_TRUE(sample);
    EXPECT_EQ(sample->imageBuffer(), buffer);
    EXPECT_EQ(sample->presentationTime(), Time::make(123, 1000));
    const uint64_t serial = buffer->serial();
    buffer.reset();
    EXPECT_EQ(sample->imageBuffer()->serial(), serial) << "the sample keeps the buffer alive";

    auto other = PixelBuffer::create(2, 4);
    EXPECT_FALSE(format->matches(*other));
    EXPECT_FALSE(VideoFormatDescription{}.matches(*other));
    EXPECT_FALSE(SampleBuffer::createReady(nullptr, *format, timing));
    EXPECT_FALSE(SampleBuffer::createReady(other, *format, timing));
    EXPECT_FALSE(SampleBuffer::createReady(other, VideoFormatDescription{}, timing));
}

} // namespace
} // namespace orlenta
