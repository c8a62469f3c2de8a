// The placeholder picture: size and format, background grey, the two lines in their greys, on
// their baselines, each centred on its own measured width.
#include <cmath>
#include <gtest/gtest.h>

#include "extension/placeholder.h"

namespace orlenta {
namespace {

// cairo and fontconfig keep their font caches for the life of the process; free them at the end
// so that leak checking sees only leaks of ours.
class FontCaches final : public ::testing::Environment {
public:
    void TearDown() override { releasePlaceholderFontCaches(); }
};
[[maybe_unused]] ::testing::Environment* const fontCaches =
    ::testing::AddGlobalTestEnvironment(new FontCaches);

struct Box {
    int left = 1 << 30, right = -1, top = 1 << 30, bottom = -1, maxLevel = 0;
};

// Where the rows hold ink (anything clearly lighter than the background), and how bright it is.
Box inkIn(const PixelBufferLock& lock, size_t stride, int rowFrom, int rowTo) {
    Box box;
    for (int y = rowFrom; y <= rowTo; ++y)
        for (int x = 0; x < 1280; ++x) {
            const uint8_t green = lock.data()[static_cast<size_t>(y) * stride + x * 4 + 1];
            if (green <= 60)
                continue;
            box = {std::min(box.left, x), std::max(box.right, x), std::min(box.top, y),
                   std::max(box.bottom, y), std::max<int>(box.maxLevel, green)};
        }
    return box;
}

TEST(Placeholder, LightLinesOnTheirBaselinesCentredOnADarkGreyPicture) {
    auto buffer = makePlaceholder();
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->width(), 1280);
    EXPECT_EQ(buffer->height(), 720);
    EXPECT_EQ(buffer->pixelFormat(), kPixelFormatBGRA);
    PixelBufferLock lock(*buffer);
    const size_t stride = buffer->bytesPerRow();
    const int grey = static_cast<int>(std::lround(0.08 * 255));
    for (const auto& [x, y] : {std::pair{0, 0}, {1279, 0}, {0, 719}, {1279, 719}, {640, 600}}) {
        const uint8_t* p = lock.data() + static_cast<size_t>(y) * stride + x * 4;
        EXPECT_NEAR(p[0], grey, 1) << x << "," << y;
        EXPECT_EQ(p[0], p[1]);
        EXPECT_EQ(p[1], p[2]);
        EXPECT_EQ(p[3], 255);
    }
    // Nothing but background above the title, between the lines and below the message.
    for (const auto& [from, to] : {std::pair{0, 280}, {352, 372}, {412, 719}})
        EXPECT_LT(inkIn(lock, stride, from, to).right, 0) << "rows " << from << "-" << to;

    // The title has no descenders: its ink ends on its baseline, row 340. The message's letters
    // stand on row 400; only the descenders of p and the comma go below.
    const Box title = inkIn(lock, stride, 281, 351);
    EXPECT_NEAR(title.bottom, 340, 1);
    EXPECT_GT(340 - title.top, 35) << "a 56-pixel bold line has tall capitals";
    EXPECT_GE(title.maxLevel, 250) << "white";
    const Box message = inkIn(lock, stride, 373, 411);
    EXPECT_GT(400 - inkIn(lock, stride, 373, 400).top, 15);
    EXPECT_LE(message.bottom, 408);
    EXPECT_NEAR(message.maxLevel, std::lround(0.7 * 255), 2) << "grey 0.7, never brighter";

    // Centred by the measured advance width: the ink fills the advance box, whose margins on
    // both sides are equal.
    for (const auto& [line, box] :
         {std::pair{kPlaceholderTitle, title}, std::pair{kPlaceholderMessage, message}}) {
        const double width = placeholderLineWidth(line);
        const double start = (1280 - width) / 2;
        EXPECT_GT(width, 300);
        EXPECT_LT(width, 1200) << "one line, nothing wrapped or clipped";
        EXPECT_NEAR(box.left, start, line.fontSize * 0.15) << line.text;
        EXPECT_NEAR(box.right + 1, start + width, line.fontSize * 0.15) << line.text;
    }
}

} // namespace
} // namespace orlenta
