#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "app/pipeline/cover_renderer.h"

namespace orlenta {
namespace detail {
// Defined in cover_renderer.cpp: the same covering with the portable or the vector kernels.
bool coverFacesUsing(const cv::Mat& source, const std::vector<Rect>& rects, CoverStyle style,
                     cv::Mat& destination, bool vectorKernels);
} // namespace detail

namespace {

// Pixel access in the renderer's space: origin bottom-left, y up.
cv::Vec4b at(const cv::Mat& m, int x, int y) {
    return m.at<cv::Vec4b>(m.rows - 1 - y, x);
}

// Camera-like content: gradients plus noise, opaque.
cv::Mat texturedFrame(int cols, int rows, uint64_t seed = 7) {
    cv::Mat frame(rows, cols, CV_8UC4);
    cv::RNG rng(seed);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            frame.at<cv::Vec4b>(r, c) =
                cv::Vec4b(static_cast<uchar>((c * 3 + rng.uniform(0, 60)) % 256),
                          static_cast<uchar>((r * 2 + rng.uniform(0, 60)) % 256),
                          static_cast<uchar>(((c + r) + rng.uniform(0, 60)) % 256), 255);
    return frame;
}

cv::Mat covered(const cv::Mat& source, const std::vector<Rect>& rects, CoverStyle style) {
    cv::Mat out(source.size(), source.type(), cv::Scalar::all(0));
    EXPECT_TRUE(coverFaces(source, rects, style, out));
    return out;
}

int maxDifference(const cv::Mat& a, const cv::Mat& b) {
    return static_cast<int>(cv::norm(a, b, cv::NORM_INF));
}

bool samePixels(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && maxDifference(a, b) == 0;
}

TEST(CoverRenderer, VectorAndPortableKernelsAgreeAndBoxesAreOpaqueBlack) {
    const cv::Mat textured = texturedFrame(320, 240, 11);
    struct Case {
        const char* name;
        const cv::Mat frame;
        Rect face;
    };
    const Case cases[] = {
        {"small", textured, {40.2, 30.9, 9.5, 12.1}},
        {"medium", textured, {150.4, 60.2, 64.7, 80.3}},
        {"larger than the frame", textured, {-90, -80, 500, 420}},
        {"half outside", textured, {-30, 50, 60, 80}},
        {"odd frame size", texturedFrame(37, 23), {3.5, 2.2, 20.1, 17.9}},
        {"frame smaller than the face", texturedFrame(6, 6), {-50, -50, 100, 100}},
    };
    for (const Case& c : cases)
        for (CoverStyle style : allCoverStyles) {
            SCOPED_TRACE(::testing::Message() << c.name << " " << label(style));
            cv::Mat fast, portable;
            ASSERT_TRUE(detail::coverFacesUsing(c.frame, {c.face}, style, fast, true));
            ASSERT_TRUE(detail::coverFacesUsing(c.frame, {c.face}, style, portable, false));
            EXPECT_LE(maxDifference(fast, portable), 1);
            EXPECT_FALSE(samePixels(fast, c.frame));
            if (style != CoverStyle::box)
                continue;
            const Rect v = c.face.integral().intersection(
                Rect{0, 0, double(c.frame.cols), double(c.frame.rows)});
            for (int j = 0; j < c.frame.rows; ++j)
                for (int i = 0; i < c.frame.cols; ++i)
                    ASSERT_TRUE(!v.containsHalfOpen({i + 0.5, j + 0.5}) ||
                                at(fast, i, j) == cv::Vec4b(0, 0, 0, 255))
                        << i << "," << j;
        }
}

TEST(CoverRenderer, TooSmallAndBrokenRectsAreSkippedAbsurdOnesCoverAll) {
    const cv::Mat frame = texturedFrame(120, 90);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<Rect> skipped = {
        {10, 10, 4, 50},     // 4 px wide
        {30, 10, 50, 4},     // 4 px tall
        {10.2, 60, 3.6, 20}, // whole-pixel edges 10..14: still 4
        {-20, 30, 24, 30},   // 4 px visible at the left edge
        {60, 88, 30, 30},    // 2 px visible at the top
        {200, 10, 30, 30},   // entirely outside
        {10, 10, 0, 0},      // empty
        {nan, 10, 20, 20},   {10, 10, 20, inf},     {-inf, 0, inf, 48},
        {10, 10, -20, 20},   {1e308, 0, 1e308, 10}, {-1e308, 0, 10, 10},
    };
    for (CoverStyle style : allCoverStyles) {
        SCOPED_TRACE(label(style));
        EXPECT_TRUE(samePixels(covered(frame, {}, style), frame));
        EXPECT_TRUE(samePixels(covered(frame, skipped, style), frame));
        // Just above the limit: 5 x 5 visible.
        EXPECT_FALSE(samePixels(covered(frame, {Rect{40.5, 40, 4.2, 5}}, style), frame));
        // Absurdly large but finite: the whole frame, without overflow; the blur leaves one colour.
        const cv::Mat out = covered(frame, {Rect{-1e300, -1e300, 2e300, 2e300}}, style);
        EXPECT_FALSE(samePixels(out, frame));
        if (style != CoverStyle::pixelate) {
            EXPECT_LE(maxDifference(out, cv::Mat(out.size(), out.type(), cv::mean(out))), 1);
        }
    }
}

TEST(CoverRenderer, OverlappingFacesLaterOnTopEachFromTheUncoveredFrame) {
    const cv::Mat frame = texturedFrame(240, 200);
    const Rect a{40, 40, 100, 110};
    const Rect b{100, 70, 90, 100};
    for (CoverStyle style : allCoverStyles) {
        SCOPED_TRACE(label(style));
        // Deep inside both faces the later one's own covering of the source is on top, whatever
        // the earlier one did there.
        const cv::Mat both = covered(frame, {a, b}, style);
        EXPECT_EQ(at(both, 120, 110), at(covered(frame, {b}, style), 120, 110));
        EXPECT_EQ(at(covered(frame, {b, a}, style), 120, 110),
                  at(covered(frame, {a}, style), 120, 110));
        // Covering in place still reads the uncovered frame.
        cv::Mat inPlace = frame.clone();
        ASSERT_TRUE(coverFaces(inPlace, {a, b}, style, inPlace));
        EXPECT_TRUE(samePixels(inPlace, both));
    }
}

TEST(CoverRenderer, CoveredFacesLoseTheirDetail) {
    // A face of fine 1 px checks: both ellipse styles must leave the mean colour, not the detail.
    cv::Mat frame(160, 160, CV_8UC4);
    for (int r = 0; r < frame.rows; ++r)
        for (int c = 0; c < frame.cols; ++c) {
            const uchar v = ((r + c) % 2 == 0) ? 20 : 230;
            frame.at<cv::Vec4b>(r, c) = cv::Vec4b(v, uchar(255 - v), v, 255);
        }
    for (CoverStyle style : {CoverStyle::blur, CoverStyle::pixelate}) {
        const cv::Mat out = covered(frame, {Rect{30, 30, 100, 100}}, style);
        // Mean absolute step between horizontal neighbours inside the ellipse.
        double roughness = 0;
        for (int y = 60; y < 100; ++y)
            for (int x = 60; x < 100; ++x)
                for (int c = 0; c < 3; ++c)
                    roughness += std::abs(int(at(out, x + 1, y)[c]) - int(at(out, x, y)[c]));
        EXPECT_LT(roughness / (40 * 40 * 3), 1.0) << label(style);
        EXPECT_NEAR(at(out, 80, 80)[0], 125, 2) << label(style);
    }
}

TEST(CoverRenderer, PaddedRowsAndRefusedInputs) {
    // The same pixels inside a larger buffer, so rows are longer than the picture; the output a
    // view into another one, whose pixels outside the view stay as they were.
    const std::vector<Rect> faces = {{3.5, 2.2, 20.1, 17.9}, {-5, 10, 15, 30}};
    const cv::Mat odd = texturedFrame(37, 23);
    cv::Mat big(40, 60, CV_8UC4, cv::Scalar(1, 2, 3, 4));
    cv::Mat padded = big(cv::Rect(11, 9, 37, 23));
    odd.copyTo(padded);
    cv::Mat bigOut(40, 60, CV_8UC4, cv::Scalar::all(9));
    cv::Mat paddedOut = bigOut(cv::Rect(13, 5, 37, 23));
    for (CoverStyle style : allCoverStyles) {
        ASSERT_TRUE(coverFaces(padded, faces, style, paddedOut));
        EXPECT_TRUE(samePixels(paddedOut, covered(odd, faces, style))) << label(style);
        cv::Mat outside = bigOut.clone();
        outside(cv::Rect(13, 5, 37, 23)).setTo(cv::Scalar::all(9));
        EXPECT_EQ(cv::countNonZero(outside.reshape(1) != 9), 0) << label(style);
    }

    // Refused: no picture, or a destination of another size, which is left as it was. An empty
    // destination is given the frame's size.
    const cv::Mat frame = texturedFrame(64, 48);
    cv::Mat wrongSize(40, 64, CV_8UC4, cv::Scalar(5, 6, 7, 8));
    EXPECT_FALSE(coverFaces(cv::Mat(), {Rect{0, 0, 10, 10}}, CoverStyle::blur, wrongSize));
    EXPECT_FALSE(coverFaces(frame, {}, CoverStyle::blur, wrongSize));
    EXPECT_EQ(wrongSize.at<cv::Vec4b>(0, 0), cv::Vec4b(5, 6, 7, 8));
    cv::Mat fresh;
    EXPECT_TRUE(coverFaces(frame, {}, CoverStyle::blur, fresh));
    EXPECT_TRUE(samePixels(fresh, frame));
}

TEST(CoverRenderer, ConcurrentCallsWithDistinctDestinations) {
    // The first calls in the process race to set up the shared tables.
    const cv::Mat frame = texturedFrame(200, 160, 9);
    const std::vector<Rect> faces = {{20, 30, 90, 100}, {100, 20, 80, 110}};
    std::vector<cv::Mat> outs(4);
    std::vector<std::thread> threads;
    const auto style = [](size_t k) { return k % 2 ? CoverStyle::pixelate : CoverStyle::blur; };
    for (size_t k = 0; k < outs.size(); ++k)
        threads.emplace_back([&, k] { coverFaces(frame, faces, style(k), outs[k]); });
    for (std::thread& t : threads)
        t.join();
    for (size_t k = 0; k < outs.size(); ++k)
        EXPECT_TRUE(samePixels(outs[k], covered(frame, faces, style(k))));
}

} // namespace
} // namespace orlenta
