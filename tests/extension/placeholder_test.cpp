// The placeholder picture: size and format, background grey, and the two light lines in their
// bands.
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

TEST(Placeholder, TwoLightLinesOnADarkGreyPicture) {
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

    // Light ink in both lines' bands, each line within the picture.
    for (const auto& [from, to] : {std::pair{281, 351}, {373, 411}}) {
        const Box line = inkIn(lock, stride, from, to);
        EXPECT_GE(line.maxLevel, 170) << "rows " << from << "-" << to;
        EXPECT_GT(line.left, 0);
        EXPECT_LT(line.right, 1279);
    }
}

} // namespace
} // namespace orlenta
