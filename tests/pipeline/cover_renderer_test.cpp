#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <map>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "app/pipeline/cover_renderer.h"
#include "app/pipeline/cover_renderer_mask.h"

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

// Largest difference between `out` and the model over the whole frame: the reference cover over
// the face's visible pixels (the box style: opaque black there), the source everywhere else.
int compareWithReference(const cv::Mat& source, const cv::Mat& out, const Rect& rect,
                         CoverStyle style) {
    const bool blur = style == CoverStyle::blur;
    ReferenceCover ref(source, rect, blur ? 6.0 : 7.0, blur ? 0.125 : 0.0);
    const Rect v = ref.visible();
    int worst = 0;
    for (int j = 0; j < source.rows; ++j)
        for (int i = 0; i < source.cols; ++i) {
            cv::Vec4b expected = at(source, i, j);
            if (!v.containsHalfOpen({i + 0.5, j + 0.5}))
                ;
            else if (style == CoverStyle::box)
                expected = cv::Vec4b(0, 0, 0, 255);
            else
                expected =
                    ref.blended(blur ? ref.blurred(i, j) : ref.pixelated(i, j), expected, i, j);
            const cv::Vec4b got = at(out, i, j);
            for (int c = 0; c < 4; ++c)
                worst = std::max(worst, std::abs(int(got[c]) - int(expected[c])));
        }
    return worst;
}

TEST(CoverRenderer, EllipseMaskOfAWholePixelFace) {
    const Rect face = Rect{100.3, 200.7, 60.2, 80.1}.integral();
    EXPECT_EQ(face, (Rect{100, 200, 61, 81}));
    const EllipseMask mask = ellipseMask(face);
    EXPECT_EQ(mask.extent, (Rect{98, 198, 65, 85}));
    // Opaque out to 98 % of each semi-axis (30.5 and 40.5), zero from the edge on, linear in
    // between; nothing outside the extent.
    const std::pair<Point, double> cases[] = {
        {{130.5, 240.5}, 1.0},
        {{130.5 + 29.88, 240.5}, 1.0},
        {{130.5, 240.5 - 39.68}, 1.0},
        {{130.5 + 30.5 * 0.99, 240.5}, 0.5},
        {{130.5, 240.5 + 40.5 * 0.985}, 0.75},
        {{130.5 + 30.5, 240.5}, 0.0},
        {{130.5, 240.5 - 40.6}, 0.0},
    };
    for (const auto& [point, value] : cases)
        EXPECT_NEAR(mask.value(point), value, 1e-9) << point.x << ", " << point.y;
    const EllipseMask wide{Rect{0, 0, 10, 10}, Point{5, 5}, 100, 100};
    EXPECT_EQ(wide.value({5, 5}), 1.0);
    EXPECT_EQ(wide.value({10.5, 5}), 0.0);
    EXPECT_EQ(wide.value({5, -0.5}), 0.0);
}

TEST(CoverRenderer, EveryStyleAndKernelMatchesTheReferenceModel) {
    // Bands of full-range rows one block high on the blur's block grid: where interpolating rows
    // between computed ones (from sigma 20 on) errs most.
    const Rect banded{80, 20, 161, 200};
    cv::Mat bands(240, 320, CV_8UC4);
    for (int j = 0; j < 240; ++j) {
        const bool light = static_cast<int>(std::floor((j + 0.5 - 120) / (161 / 6.0))) % 2 == 0;
        bands.row(239 - j).setTo(light ? cv::Scalar::all(255) : cv::Scalar(0, 0, 0, 255));
    }
    const cv::Mat textured = texturedFrame(320, 240, 11);
    struct Case {
        const char* name;
        const cv::Mat frame;
        Rect face;
    };
    const Case cases[] = {
        // Blocks raised to 10 px, tiny sigma.
        {"small", textured, {40.2, 30.9, 9.5, 12.1}},
        {"medium", textured, {150.4, 60.2, 64.7, 80.3}},
        {"larger than the frame", textured, {-90, -80, 500, 420}},
        // Visible x 0..30, the ellipse centred on the frame's edge.
        {"half outside", textured, {-30, 50, 60, 80}},
        {"wide blur, textured", texturedFrame(320, 240, 5), banded},
        {"wide blur, bands", bands, banded},
        {"odd frame size", texturedFrame(37, 23), {3.5, 2.2, 20.1, 17.9}},
        {"frame smaller than the face", texturedFrame(6, 6), {-50, -50, 100, 100}},
    };
    for (const Case& c : cases)
        for (CoverStyle style : allCoverStyles)
            for (bool vector : {true, false}) {
                SCOPED_TRACE(::testing::Message()
                             << c.name << " " << label(style) << (vector ? "" : " portable"));
                cv::Mat out;
                ASSERT_TRUE(detail::coverFacesUsing(c.frame, {c.face}, style, out, vector));
                EXPECT_LE(compareWithReference(c.frame, out, c.face, style), 1);
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
                if (inB) {
                    // Where b is fully applied it is exactly b's own covering of the source,
                    // whatever a did there.
                    ASSERT_EQ(at(both, x, y), at(onlyB, x, y)) << x << "," << y;
                    checkedOverlap += a.containsHalfOpen(centre) ? 1 : 0;
                } else if (!b.insetBy(-2, -2).containsHalfOpen(centre)) {
                    ASSERT_EQ(at(both, x, y), at(onlyA, x, y)) << x << "," << y;
                }
            }
        EXPECT_GT(checkedOverlap, 500);
        // Reversed order: a is on top now.
        EXPECT_EQ(at(covered(frame, {b, a}, style), 110, 100), at(onlyA, 110, 100));
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

    // Refused: no picture, or not BGRA bytes, or a destination of another size or type; the
    // destination is left as it was. An empty destination is given the frame's size.
    const cv::Mat frame = texturedFrame(64, 48);
    cv::Mat untouched(48, 64, CV_8UC4, cv::Scalar(5, 6, 7, 8));
    const cv::Mat before = untouched.clone();
    EXPECT_FALSE(coverFaces(cv::Mat(), {Rect{0, 0, 10, 10}}, CoverStyle::blur, untouched));
    for (int type : {CV_8UC3, CV_32FC4})
        EXPECT_FALSE(
            coverFaces(cv::Mat(48, 64, type, cv::Scalar::all(0)), {}, CoverStyle::box, untouched));
    EXPECT_TRUE(samePixels(untouched, before));
    cv::Mat wrongSize(40, 64, CV_8UC4, cv::Scalar(5, 6, 7, 8));
    cv::Mat wrongType(48, 64, CV_8UC3, cv::Scalar::all(5));
    EXPECT_FALSE(coverFaces(frame, {}, CoverStyle::blur, wrongSize));
    EXPECT_FALSE(coverFaces(frame, {}, CoverStyle::blur, wrongType));
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
    for (size_t k = 0; k < outs.size(); ++k)
        threads.emplace_back([&, k] {
            coverFaces(frame, faces, k % 2 ? CoverStyle::pixelate : CoverStyle::blur, outs[k]);
        });
    for (std::thread& t : threads)
        t.join();
    for (size_t k = 0; k < outs.size(); ++k)
        EXPECT_TRUE(samePixels(
            outs[k], covered(frame, faces, k % 2 ? CoverStyle::pixelate : CoverStyle::blur)));
}

} // namespace
} // namespace orlenta
