#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "app/pipeline/cover_renderer.h"
#include "app/pipeline/cover_renderer_mask.h"

namespace orlenta {
namespace detail {
// Defined in cover_renderer.cpp: the same covering with the portable or the vector kernels.
bool coverFacesUsing(const cv::Mat& source, const std::vector<Rect>& rects, CoverStyle style,
                     cv::Mat& destination, bool vectorKernels);
bool vectorKernelsAvailable();
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
    cv::Mat diff;
    cv::absdiff(a, b, diff);
    double worst = 0;
    cv::minMaxLoc(diff.reshape(1), nullptr, &worst);
    return static_cast<int>(worst);
}

bool samePixels(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && maxDifference(a, b) == 0;
}

double normalCdf(double t) {
    return 0.5 * std::erfc(-t / std::sqrt(2.0));
}

// A slow, independent model of the blur and pixelate styles for one face: a pixel index on each
// axis (also far beyond the image) belongs to block floor((i + 0.5 - centre) / block), a block's
// colour is the plain mean of the clamped source over all indices that fall in it (for the blur,
// over every floor(block / 6)-th of its rows from its first), and the blur sums block colours
// times Gaussian shares (erfc) over every block within 9 sigma.
// Returns, for each visible pixel, the value the covered frame should have there.
class ReferenceCover {
public:
    ReferenceCover(const cv::Mat& source, const Rect& rect, double blockDivisor, double sigmaScale)
        : src_(source) {
        face_ = rect.integral();
        visible_ = face_.intersection(Rect{0, 0, double(source.cols), double(source.rows)});
        block_ = std::max(face_.width / blockDivisor, 10.0);
        sigma_ = face_.width * sigmaScale;
        rowStride_ = sigmaScale > 0 ? std::max(1, static_cast<int>(block_ / 6)) : 1;
        cx_ = visible_.midX();
        cy_ = visible_.midY();
    }

    int blockX(double x) const { return static_cast<int>(std::floor((x - cx_) / block_)); }
    int blockY(double y) const { return static_cast<int>(std::floor((y - cy_) / block_)); }

    // The pixel indices (unbounded) whose centres fall in block k of an axis.
    std::vector<int> indices(int k, double centre, bool xAxis) const {
        std::vector<int> out;
        const double from = centre + k * block_;
        for (int i = static_cast<int>(std::floor(from)) - 2;
             i <= static_cast<int>(std::ceil(from + block_)) + 2; ++i)
            if ((xAxis ? blockX(i + 0.5) : blockY(i + 0.5)) == k)
                out.push_back(i);
        return out;
    }

    cv::Vec3d blockColour(int kx, int ky) {
        auto key = std::make_pair(kx, ky);
        if (auto it = colours_.find(key); it != colours_.end())
            return it->second;
        cv::Vec3d sum(0, 0, 0);
        double n = 0;
        const std::vector<int> rows = indices(ky, cy_, false);
        for (size_t r = 0; r < rows.size(); r += static_cast<size_t>(rowStride_))
            for (int i : indices(kx, cx_, true)) {
                const int j = rows[r];
                const cv::Vec4b p =
                    at(src_, std::clamp(i, 0, src_.cols - 1), std::clamp(j, 0, src_.rows - 1));
                sum += cv::Vec3d(p[0], p[1], p[2]);
                n += 1;
            }
        const cv::Vec3d mean = sum / n;
        colours_[key] = mean;
        return mean;
    }

    cv::Vec3d pixelated(int i, int j) { return blockColour(blockX(i + 0.5), blockY(j + 0.5)); }

    cv::Vec3d blurred(int i, int j) {
        const double px = i + 0.5;
        const double py = j + 0.5;
        const int kx0 = blockX(px - 9 * sigma_) - 1;
        const int kx1 = blockX(px + 9 * sigma_) + 1;
        std::vector<double> wx;
        for (int kx = kx0; kx <= kx1; ++kx)
            wx.push_back(normalCdf((cx_ + (kx + 1) * block_ - px) / sigma_) -
                         normalCdf((cx_ + kx * block_ - px) / sigma_));
        cv::Vec3d sum(0, 0, 0);
        for (int ky = blockY(py - 9 * sigma_) - 1; ky <= blockY(py + 9 * sigma_) + 1; ++ky) {
            const double wy = normalCdf((cy_ + (ky + 1) * block_ - py) / sigma_) -
                              normalCdf((cy_ + ky * block_ - py) / sigma_);
            if (wy == 0)
                continue;
            for (int kx = kx0; kx <= kx1; ++kx)
                sum += wx[kx - kx0] * wy * blockColour(kx, ky);
        }
        return sum;
    }

    // The expected pixel after blending `patch` over `under` with the face's mask.
    cv::Vec4b blended(const cv::Vec3d& patch, cv::Vec4b under, int i, int j) const {
        const double m = ellipseMask(face_).value({i + 0.5, j + 0.5});
        cv::Vec4b out = under;
        for (int c = 0; c < 3; ++c)
            out[c] = cv::saturate_cast<uchar>(patch[c] * m + under[c] * (1 - m));
        return out;
    }

    const Rect& visible() const { return visible_; }

private:
    const cv::Mat& src_;
    Rect face_;
    Rect visible_;
    double block_ = 10;
    double sigma_ = 0;
    int rowStride_ = 1;
    double cx_ = 0;
    double cy_ = 0;
    std::map<std::pair<int, int>, cv::Vec3d> colours_;
};

// Largest difference between `out` and the reference over the face's visible pixels; also checks
// that nothing outside the visible rectangle changed.
int compareWithReference(const cv::Mat& source, const cv::Mat& out, const Rect& rect,
                         CoverStyle style) {
    const bool blur = style == CoverStyle::blur;
    ReferenceCover ref(source, rect, blur ? 6.0 : 7.0, blur ? 0.125 : 0.0);
    const Rect v = ref.visible();
    int worst = 0;
    for (int j = 0; j < source.rows; ++j)
        for (int i = 0; i < source.cols; ++i) {
            cv::Vec4b expected = at(source, i, j);
            if (v.containsHalfOpen({i + 0.5, j + 0.5}))
                expected =
                    ref.blended(blur ? ref.blurred(i, j) : ref.pixelated(i, j), expected, i, j);
            const cv::Vec4b got = at(out, i, j);
            for (int c = 0; c < 4; ++c)
                worst = std::max(worst, std::abs(int(got[c]) - int(expected[c])));
        }
    return worst;
}

TEST(CoverRenderer, WorkedExampleGeometryAndMask) {
    const Rect r{100.3, 200.7, 60.2, 80.1};
    const Rect face = r.integral();
    EXPECT_EQ(face, (Rect{100, 200, 61, 81}));

    const EllipseMask mask = ellipseMask(face);
    EXPECT_EQ(mask.center, (Point{130.5, 240.5}));
    EXPECT_DOUBLE_EQ(mask.semiAxisX, 30.5);
    EXPECT_DOUBLE_EQ(mask.semiAxisY, 40.5);
    EXPECT_EQ(mask.extent, (Rect{98, 198, 65, 85}));

    // Opaque out to 98 % of each semi-axis (29.89 and 39.69), zero from the edge on, linear
    // in between.
    EXPECT_DOUBLE_EQ(mask.value({130.5, 240.5}), 1.0);
    EXPECT_DOUBLE_EQ(mask.value({130.5 + 29.88, 240.5}), 1.0);
    EXPECT_DOUBLE_EQ(mask.value({130.5, 240.5 - 39.68}), 1.0);
    EXPECT_NEAR(mask.value({130.5 + 30.5 * 0.99, 240.5}), 0.5, 1e-9);
    EXPECT_NEAR(mask.value({130.5, 240.5 + 40.5 * 0.985}), 0.75, 1e-9);
    EXPECT_DOUBLE_EQ(mask.value({130.5 + 30.5, 240.5}), 0.0);
    EXPECT_DOUBLE_EQ(mask.value({130.5, 240.5 - 40.6}), 0.0);
    // Nothing outside the extent, not even where the gradient would be white.
    const EllipseMask wide{Rect{0, 0, 10, 10}, Point{5, 5}, 100, 100};
    EXPECT_DOUBLE_EQ(wide.value({5, 5}), 1.0);
    EXPECT_DOUBLE_EQ(wide.value({10.5, 5}), 0.0);
    EXPECT_DOUBLE_EQ(wide.value({5, -0.5}), 0.0);

    const cv::Mat frame = texturedFrame(1280, 720);
    // Blur: blocks of 61 / 6 = 10.1667 px on a grid centred at (130.5, 240.5), sigma 7.625.
    EXPECT_LE(
        compareWithReference(frame, covered(frame, {r}, CoverStyle::blur), r, CoverStyle::blur), 1);
    // Pixelate: 61 / 7 = 8.71 is raised to 10 px blocks.
    EXPECT_LE(compareWithReference(frame, covered(frame, {r}, CoverStyle::pixelate), r,
                                   CoverStyle::pixelate),
              1);
    // Box: exactly (100, 200, 61, 81) is opaque black.
    const cv::Mat boxed = covered(frame, {r}, CoverStyle::box);
    cv::Mat expected = frame.clone();
    expected(cv::Rect(100, 720 - 281, 61, 81)).setTo(cv::Scalar(0, 0, 0, 255));
    EXPECT_TRUE(samePixels(boxed, expected));
}

TEST(CoverRenderer, PixelatedBlocksAreUniformAverages) {
    // A 70 px face pixelates into 10 px blocks on a grid through the visible centre (95, 100):
    // columns 95..104 and rows 100..109 make one block, which takes the mean of the source there.
    const cv::Mat frame = texturedFrame(200, 200, 21);
    const Rect face{60, 60, 70, 80};
    const cv::Mat out = covered(frame, {face}, CoverStyle::pixelate);
    cv::Vec3d sum(0, 0, 0);
    for (int y = 100; y < 110; ++y)
        for (int x = 95; x < 105; ++x) {
            const cv::Vec4b p = at(frame, x, y);
            sum += cv::Vec3d(p[0], p[1], p[2]);
        }
    const cv::Vec4b mean(cv::saturate_cast<uchar>(sum[0] / 100),
                         cv::saturate_cast<uchar>(sum[1] / 100),
                         cv::saturate_cast<uchar>(sum[2] / 100), 255);
    for (int y = 100; y < 110; ++y)
        for (int x = 95; x < 105; ++x)
            EXPECT_EQ(at(out, x, y), mean) << x << "," << y;
    EXPECT_NE(at(out, 94, 100), mean);
    EXPECT_NE(at(out, 95, 110), mean);
    EXPECT_LE(compareWithReference(frame, out, face, CoverStyle::pixelate), 1);
}

TEST(CoverRenderer, BlurMatchesReferenceAtManySizes) {
    const cv::Mat frame = texturedFrame(320, 240, 11);
    // Small (block size raised to 10, tiny sigma), medium, and larger than the frame; with the
    // kernels the processor chooses and with the portable ones.
    for (const Rect& r :
         {Rect{40.2, 30.9, 9.5, 12.1}, Rect{150.4, 60.2, 64.7, 80.3}, Rect{-90, -80, 500, 420}})
        for (CoverStyle style : {CoverStyle::blur, CoverStyle::pixelate})
            for (bool vector : {true, false}) {
                SCOPED_TRACE(::testing::Message() << r.x << "," << r.y << "," << r.width << " "
                                                  << label(style) << (vector ? "" : " portable"));
                cv::Mat out;
                ASSERT_TRUE(detail::coverFacesUsing(frame, {r}, style, out, vector));
                EXPECT_LE(compareWithReference(frame, out, r, style), 1);
            }
}

TEST(CoverRenderer, WideBlurStaysWithinALevelOnTheHardestContent) {
    // From sigma 20 on, the rows between computed rows are interpolated. The error is largest
    // where the blurred picture bends most: full-range bands one block high, on the block grid
    // (where the 3-sigma reach also errs most). A face 161 px wide has sigma 20.1 and blocks of
    // 26.83 px on a grid centred at y = 120.
    const Rect face{80, 20, 161, 200};
    const double block = 161 / 6.0;
    cv::Mat bands(240, 320, CV_8UC4);
    for (int j = 0; j < 240; ++j) {
        const bool light = static_cast<int>(std::floor((j + 0.5 - 120) / block)) % 2 == 0;
        bands.row(239 - j).setTo(light ? cv::Scalar(255, 255, 255, 255) : cv::Scalar(0, 0, 0, 255));
    }
    // The same across a textured frame, at a size between the two of the test above.
    const cv::Mat frame = texturedFrame(320, 240, 5);
    for (bool vector : {true, false}) {
        SCOPED_TRACE(vector ? "vector" : "portable");
        cv::Mat out;
        ASSERT_TRUE(detail::coverFacesUsing(bands, {face}, CoverStyle::blur, out, vector));
        EXPECT_LE(compareWithReference(bands, out, face, CoverStyle::blur), 1);
        ASSERT_TRUE(detail::coverFacesUsing(frame, {face}, CoverStyle::blur, out, vector));
        EXPECT_LE(compareWithReference(frame, out, face, CoverStyle::blur), 1);
    }
}

TEST(CoverRenderer, FacesOfFourPixelsOrLessAreSkipped) {
    const cv::Mat frame = texturedFrame(120, 90);
    const std::vector<Rect> tooSmall = {
        {10, 10, 4, 50},     // 4 px wide
        {30, 10, 50, 4},     // 4 px tall
        {10.2, 60, 3.6, 20}, // whole-pixel edges 10..14: still 4
        {-20, 30, 24, 30},   // 4 px visible at the left edge
        {60, 88, 30, 30},    // 2 px visible at the top
        {200, 10, 30, 30},   // entirely outside
        {10, 10, 0, 0},      // empty
    };
    for (CoverStyle style : allCoverStyles)
        EXPECT_TRUE(samePixels(covered(frame, tooSmall, style), frame)) << label(style);
    // Just above the limit (5 x 5 visible) is covered.
    for (CoverStyle style : allCoverStyles)
        EXPECT_FALSE(samePixels(covered(frame, {Rect{40.5, 40, 4.2, 5}}, style), frame))
            << label(style);
}

TEST(CoverRenderer, FaceHalfOutsideTheFrame) {
    const cv::Mat frame = texturedFrame(200, 160);
    const Rect face{-30, 50, 60, 80}; // visible x 0..30, ellipse centred on x = 0
    for (CoverStyle style : allCoverStyles) {
        SCOPED_TRACE(label(style));
        const cv::Mat out = covered(frame, {face}, style);
        for (int y = 0; y < frame.rows; ++y)
            for (int x = 30; x < frame.cols; ++x)
                ASSERT_EQ(at(out, x, y), at(frame, x, y)) << x << "," << y;
        EXPECT_NE(at(out, 0, 90), at(frame, 0, 90));
        if (style == CoverStyle::box) {
            EXPECT_EQ(at(out, 29, 50), cv::Vec4b(0, 0, 0, 255));
        } else {
            // The visible corner lies outside the ellipse of the whole face rectangle.
            EXPECT_EQ(at(out, 29, 50), at(frame, 29, 50));
            EXPECT_LE(compareWithReference(frame, out, face, style), 1);
        }
    }
}

TEST(CoverRenderer, OverlappingFacesLaterOnTopPatchesFromSource) {
    const cv::Mat frame = texturedFrame(240, 200);
    const Rect a{40, 40, 100, 110};
    const Rect b{100, 70, 90, 100};
    for (CoverStyle style : allCoverStyles) {
        SCOPED_TRACE(label(style));
        const cv::Mat both = covered(frame, {a, b}, style);
        const cv::Mat onlyA = covered(frame, {a}, style);
        const cv::Mat onlyB = covered(frame, {b}, style);
        const EllipseMask maskB = ellipseMask(b);
        int checkedOverlap = 0;
        for (int y = 0; y < frame.rows; ++y)
            for (int x = 0; x < frame.cols; ++x) {
                const Point centre{x + 0.5, y + 0.5};
                const bool inB = style == CoverStyle::box ? b.containsHalfOpen(centre)
                                                          : maskB.value(centre) >= 1.0;
                const bool touchedByB = b.insetBy(-2, -2).containsHalfOpen(centre);
                if (inB) {
                    // Where b is fully applied it is exactly b's own covering of the source,
                    // whatever a did there.
                    ASSERT_EQ(at(both, x, y), at(onlyB, x, y)) << x << "," << y;
                    checkedOverlap += a.containsHalfOpen(centre) ? 1 : 0;
                } else if (!touchedByB) {
                    ASSERT_EQ(at(both, x, y), at(onlyA, x, y)) << x << "," << y;
                }
            }
        EXPECT_GT(checkedOverlap, 500);
        // Reversed order: a is on top now.
        const cv::Mat reversed = covered(frame, {b, a}, style);
        EXPECT_EQ(at(reversed, 110, 100), at(onlyA, 110, 100));
        EXPECT_EQ(at(both, 110, 100), at(onlyB, 110, 100));
    }
}

TEST(CoverRenderer, EmptyListCopiesAndNothingOutsideFacesChanges) {
    const cv::Mat frame = texturedFrame(160, 120);
    for (CoverStyle style : allCoverStyles)
        EXPECT_TRUE(samePixels(covered(frame, {}, style), frame)) << label(style);

    const std::vector<Rect> faces = {{10.7, 12.2, 30.5, 40.1}, {70, 50, 44, 52}, {120, 90, 60, 60}};
    for (CoverStyle style : allCoverStyles) {
        const cv::Mat out = covered(frame, faces, style);
        for (int y = 0; y < frame.rows; ++y)
            for (int x = 0; x < frame.cols; ++x) {
                bool nearFace = false;
                for (const Rect& f : faces)
                    nearFace |= f.integral().insetBy(-2, -2).containsHalfOpen({x + 0.5, y + 0.5});
                if (!nearFace) {
                    ASSERT_EQ(at(out, x, y), at(frame, x, y)) << label(style) << x << "," << y;
                }
                // Alpha is the source's everywhere.
                ASSERT_EQ(at(out, x, y)[3], 255);
            }
    }
}

TEST(CoverRenderer, CoveredFacesLoseTheirDetail) {
    // A face of fine 1 px stripes and checks: both ellipse styles must remove the detail.
    cv::Mat frame(160, 160, CV_8UC4);
    for (int r = 0; r < frame.rows; ++r)
        for (int c = 0; c < frame.cols; ++c) {
            const uchar v = ((r + c) % 2 == 0) ? 20 : 230;
            frame.at<cv::Vec4b>(r, c) = cv::Vec4b(v, uchar(255 - v), v, 255);
        }
    const Rect face{30, 30, 100, 100};
    // Sum of absolute differences between horizontal neighbours over the ellipse's inner part.
    auto roughness = [&](const cv::Mat& m) {
        double total = 0;
        for (int y = 60; y < 100; ++y)
            for (int x = 60; x < 100; ++x)
                for (int c = 0; c < 3; ++c)
                    total += std::abs(int(at(m, x + 1, y)[c]) - int(at(m, x, y)[c]));
        return total / (40 * 40 * 3);
    };
    EXPECT_GT(roughness(frame), 200);
    const cv::Mat blurred = covered(frame, {face}, CoverStyle::blur);
    const cv::Mat pixelated = covered(frame, {face}, CoverStyle::pixelate);
    EXPECT_LT(roughness(blurred), 1.0);
    EXPECT_LT(roughness(pixelated), 1.0);
    EXPECT_GT(maxDifference(blurred, frame), 50);
    // The covered inside is the mean colour, not one of the two stripe colours.
    EXPECT_NEAR(at(blurred, 80, 80)[0], 125, 2);
    EXPECT_NEAR(at(pixelated, 80, 80)[0], 125, 2);

    // Blur on noise is smooth too: no step between neighbours above a few levels.
    cv::Mat textured(160, 160, CV_8UC4);
    cv::randu(textured, 0, 256);
    const cv::Mat soft = covered(textured, {face}, CoverStyle::blur);
    int steepest = 0;
    for (int y = 60; y < 100; ++y)
        for (int x = 60; x < 100; ++x)
            for (int c = 0; c < 3; ++c)
                steepest = std::max(steepest,
                                    std::abs(int(at(soft, x + 1, y)[c]) - int(at(soft, x, y)[c])));
    EXPECT_LE(steepest, 6);
}

TEST(CoverRenderer, OddSizesPaddedRowsAndTinyImages) {
    const std::vector<Rect> faces = {{3.5, 2.2, 20.1, 17.9}, {-5, 10, 15, 30}};
    const cv::Mat odd = texturedFrame(37, 23);
    // A padded view: the same pixels inside a larger buffer, so rows are longer than 37 pixels.
    cv::Mat big(40, 60, CV_8UC4, cv::Scalar(1, 2, 3, 4));
    cv::Mat padded = big(cv::Rect(11, 9, 37, 23));
    odd.copyTo(padded);
    ASSERT_GT(padded.step, padded.cols * 4u);
    cv::Mat bigOut(40, 60, CV_8UC4, cv::Scalar(9, 9, 9, 9));
    cv::Mat paddedOut = bigOut(cv::Rect(13, 5, 37, 23));

    for (CoverStyle style : allCoverStyles) {
        SCOPED_TRACE(label(style));
        const cv::Mat plain = covered(odd, faces, style);
        EXPECT_FALSE(samePixels(plain, odd));
        ASSERT_TRUE(coverFaces(padded, faces, style, paddedOut));
        EXPECT_TRUE(samePixels(paddedOut, plain));
        // Outside the view the larger buffer is untouched.
        EXPECT_EQ(bigOut.at<cv::Vec4b>(4, 13), cv::Vec4b(9, 9, 9, 9));
        EXPECT_EQ(bigOut.at<cv::Vec4b>(5, 12), cv::Vec4b(9, 9, 9, 9));
        EXPECT_EQ(bigOut.at<cv::Vec4b>(5, 50), cv::Vec4b(9, 9, 9, 9));
        EXPECT_EQ(bigOut.at<cv::Vec4b>(28, 13), cv::Vec4b(9, 9, 9, 9));
    }

    // A 1 x 1 frame and a 6 x 6 frame with a face larger than themselves.
    for (int size : {1, 6}) {
        const cv::Mat tiny = texturedFrame(size, size);
        for (CoverStyle style : allCoverStyles) {
            const cv::Mat out = covered(tiny, {Rect{-50, -50, 100, 100}}, style);
            if (size == 1) {
                EXPECT_TRUE(samePixels(out, tiny)); // 1 px visible: too small to cover
            } else {
                EXPECT_FALSE(samePixels(out, tiny)) << label(style);
                if (style == CoverStyle::box)
                    EXPECT_EQ(at(out, 3, 3), cv::Vec4b(0, 0, 0, 255));
                else
                    EXPECT_LE(compareWithReference(tiny, out, {-50, -50, 100, 100}, style), 1);
            }
        }
    }
}

TEST(CoverRenderer, BadInputIsRefusedOrSkipped) {
    const cv::Mat frame = texturedFrame(64, 48);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<Rect> bad = {{nan, 10, 20, 20}, {10, nan, 20, 20},     {10, 10, nan, 20},
                                   {10, 10, 20, inf}, {-inf, 0, inf, 48},    {10, 10, -20, 20},
                                   {30, 30, 20, -25}, {1e308, 0, 1e308, 10}, {-1e308, 0, 10, 10}};
    for (CoverStyle style : allCoverStyles)
        EXPECT_TRUE(samePixels(covered(frame, bad, style), frame)) << label(style);

    // Absurdly large but finite faces cover the whole frame without overflow; the blur spreads
    // over all of it and leaves one colour.
    for (CoverStyle style : allCoverStyles) {
        const cv::Mat out = covered(frame, {Rect{-1e300, -1e300, 2e300, 2e300}}, style);
        EXPECT_FALSE(samePixels(out, frame)) << label(style);
        if (style == CoverStyle::blur) {
            EXPECT_LE(maxDifference(out, cv::Mat(out.size(), out.type(), cv::mean(out))), 1);
        }
    }

    cv::Mat untouched(48, 64, CV_8UC4, cv::Scalar(5, 6, 7, 8));
    const cv::Mat before = untouched.clone();
    EXPECT_FALSE(coverFaces(cv::Mat(), {Rect{0, 0, 10, 10}}, CoverStyle::blur, untouched));
    EXPECT_FALSE(
        coverFaces(cv::Mat(48, 64, CV_8UC3, cv::Scalar::all(0)), {}, CoverStyle::box, untouched));
    EXPECT_FALSE(
        coverFaces(cv::Mat(48, 64, CV_32FC4, cv::Scalar::all(0)), {}, CoverStyle::box, untouched));
    cv::Mat wrongSize(40, 64, CV_8UC4, cv::Scalar(5, 6, 7, 8));
    EXPECT_FALSE(coverFaces(frame, {}, CoverStyle::blur, wrongSize));
    cv::Mat wrongType(48, 64, CV_8UC3, cv::Scalar::all(5));
    EXPECT_FALSE(coverFaces(frame, {}, CoverStyle::blur, wrongType));
    EXPECT_TRUE(samePixels(untouched, before));
    EXPECT_EQ(wrongSize.at<cv::Vec4b>(0, 0), cv::Vec4b(5, 6, 7, 8));

    // An empty destination is given the frame's size.
    cv::Mat fresh;
    EXPECT_TRUE(coverFaces(frame, {}, CoverStyle::blur, fresh));
    EXPECT_TRUE(samePixels(fresh, frame));
}

TEST(CoverRenderer, CoveringInPlaceReadsTheUncoveredFrame) {
    const cv::Mat frame = texturedFrame(120, 100);
    const std::vector<Rect> faces = {{10, 10, 60, 60}, {40, 30, 60, 60}};
    for (CoverStyle style : allCoverStyles) {
        const cv::Mat expected = covered(frame, faces, style);
        cv::Mat inPlace = frame.clone();
        ASSERT_TRUE(coverFaces(inPlace, faces, style, inPlace));
        EXPECT_TRUE(samePixels(inPlace, expected)) << label(style);
    }
}

TEST(CoverRenderer, ConcurrentCallsWithDistinctDestinations) {
    // The first calls in the process race to set up the shared tables.
    const cv::Mat frame = texturedFrame(200, 160, 9);
    const std::vector<Rect> faces = {{20, 30, 90, 100}, {100, 20, 80, 110}};
    std::vector<cv::Mat> outs(4);
    std::vector<std::thread> threads;
    for (size_t k = 0; k < outs.size(); ++k)
        threads.emplace_back([&, k] {
            coverFaces(frame, faces, k % 2 ? CoverStyle::pixelate : CoverStyle::blur, outs[k]);
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_TRUE(samePixels(outs[0], covered(frame, faces, CoverStyle::blur)));
    EXPECT_TRUE(samePixels(outs[1], covered(frame, faces, CoverStyle::pixelate)));
    EXPECT_TRUE(samePixels(outs[2], outs[0]));
    EXPECT_TRUE(samePixels(outs[3], outs[1]));
}

TEST(CoverRenderer, PortableAndVectorKernelsAgree) {
    if (!detail::vectorKernelsAvailable())
        GTEST_SKIP() << "this processor has no vector kernels to compare with";
    const cv::Mat frame = texturedFrame(333, 211, 5);
    const std::vector<Rect> faces = {{10.3, 20.8, 7.5, 9.1}, {40.1, 30.2, 95.3, 120.4},
                                     {200.5, -40, 150, 180}, {-60, 100, 130, 160},
                                     {120, 60, 33, 41},      {0, 0, 333, 211}};
    for (CoverStyle style : allCoverStyles) {
        cv::Mat portable;
        cv::Mat vector;
        ASSERT_TRUE(detail::coverFacesUsing(frame, faces, style, portable, false));
        ASSERT_TRUE(detail::coverFacesUsing(frame, faces, style, vector, true));
        EXPECT_LE(maxDifference(portable, vector), 1) << label(style);
    }
}

} // namespace
} // namespace orlenta
