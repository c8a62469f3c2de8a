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

struct Pixel {
    uint8_t b, g, r, a;
};

class Picture {
public:
    explicit Picture(std::shared_ptr<PixelBuffer> buffer)
        : buffer_(std::move(buffer)), lock_(*buffer_) {}
    Pixel at(int x, int y) const {
        const uint8_t* p = lock_.data() + static_cast<size_t>(y) * buffer_->bytesPerRow() +
                           static_cast<size_t>(x) * 4;
        return {p[0], p[1], p[2], p[3]};
    }
    // Ink: anything clearly lighter than the background.
    bool ink(int x, int y) const { return at(x, y).g > 60; }
    struct Box {
        int left = 1 << 30, right = -1, top = 1 << 30, bottom = -1;
        int maxLevel = 0;
        bool empty() const { return right < 0; }
    };
    Box inkIn(int rowFrom, int rowTo) const {
        Box box;
        for (int y = rowFrom; y <= rowTo; ++y) {
            for (int x = 0; x < buffer_->width(); ++x) {
                if (!ink(x, y))
                    continue;
                box.left = std::min(box.left, x);
                box.right = std::max(box.right, x);
                box.top = std::min(box.top, y);
                box.bottom = std::max(box.bottom, y);
                box.maxLevel = std::max<int>(box.maxLevel, at(x, y).g);
            }
        }
        return box;
    }

private:
    std::shared_ptr<PixelBuffer> buffer_;
    PixelBufferLock lock_;
};

TEST(Placeholder, IsA1280By720BgraPictureOnAUniformDarkGreyBackground) {
    auto buffer = makePlaceholder();
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->width(), 1280);
    EXPECT_EQ(buffer->height(), 720);
    EXPECT_EQ(buffer->pixelFormat(), kPixelFormatBGRA);
    Picture picture(buffer);
    const int grey = static_cast<int>(std::lround(0.08 * 255));
    for (const auto& [x, y] : {std::pair{0, 0},
                               {1279, 0},
                               {0, 719},
                               {1279, 719},
                               {640, 100},
                               {640, 360},
                               {20, 340},
                               {1260, 400},
                               {640, 600}}) {
        const Pixel p = picture.at(x, y);
        EXPECT_NEAR(p.b, grey, 1) << x << "," << y;
        EXPECT_EQ(p.b, p.g);
        EXPECT_EQ(p.g, p.r);
        EXPECT_EQ(p.a, 255);
    }
    // Nothing but background above the title and below the message, and between the lines.
    EXPECT_TRUE(picture.inkIn(0, 280).empty());
    EXPECT_TRUE(picture.inkIn(352, 372).empty());
    EXPECT_TRUE(picture.inkIn(412, 719).empty());
}

TEST(Placeholder, LinesSitOnTheirBaselinesInTheirGreysCentredByTheirWidths) {
    auto buffer = makePlaceholder();
    ASSERT_TRUE(buffer);
    Picture picture(buffer);

    // The title has no descenders: its ink ends on the baseline row (340 from the top).
    const auto title = picture.inkIn(281, 351);
    ASSERT_FALSE(title.empty());
    EXPECT_NEAR(title.bottom, 340, 1);
    EXPECT_GE(title.maxLevel, 250) << "white";
    EXPECT_GT(340 - title.top, 35) << "a 56-pixel bold line has tall capitals";

    // The message's letters stand on row 400; only the descenders of p and the comma go below.
    const auto message = picture.inkIn(373, 411);
    ASSERT_FALSE(message.empty());
    const auto aboveBaseline = picture.inkIn(373, 400);
    EXPECT_GT(400 - aboveBaseline.top, 15);
    EXPECT_LE(message.bottom, 408);
    EXPECT_NEAR(message.maxLevel, std::lround(0.7 * 255), 2) << "grey 0.7, never brighter";

    // Centring by the measured advance width: the ink box sits inside the advance box, whose
    // margins on both sides are equal.
    for (const auto& [line, box] :
         {std::pair{kPlaceholderTitle, title}, std::pair{kPlaceholderMessage, message}}) {
        const double width = placeholderLineWidth(line);
        const double start = (1280 - width) / 2;
        EXPECT_GT(width, 300);
        EXPECT_LT(width, 1200) << "one line, nothing wrapped or clipped";
        EXPECT_GE(box.left, start - 1);
        EXPECT_LE(box.right, start + width + 1);
        EXPECT_NEAR(box.left, start, line.fontSize * 0.15) << line.text;
        EXPECT_NEAR(box.right + 1, start + width, line.fontSize * 0.15) << line.text;
        EXPECT_NEAR((box.left + box.right + 1) / 2.0, 640, line.fontSize * 0.1) << line.text;
    }
    EXPECT_GT(placeholderLineWidth(kPlaceholderMessage), placeholderLineWidth(kPlaceholderTitle));
}

} // namespace
} // namespace orlenta
