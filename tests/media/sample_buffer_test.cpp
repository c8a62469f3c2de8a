// Media time, format descriptions and sample buffers.
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

#include "media/media_time.h"
#include "media/sample_buffer.h"

namespace orlenta {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();

TEST(Time, ConversionsSaturateAndRefuseWhatIsNotATime) {
    EXPECT_TRUE(std::isnan(Time::make(1, 0).seconds()));
    for (const double seconds : {kNaN, kInf, 1e10})
        EXPECT_FALSE(Time::fromSeconds(seconds).isValid()) << seconds;
    for (const auto& [seconds, nanoseconds] : {std::pair{1.0 / 30, int64_t{33'333'333}},
                                               {kNaN, 0},
                                               {1e30, kInt64Max},
                                               {-kInf, kInt64Min}})
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

} // namespace
} // namespace orlenta
