#include "app/pipeline/cover_renderer.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "app/pipeline/cover_renderer_mask.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define ORLENTA_COVER_AVX2 1
#else
#define ORLENTA_COVER_AVX2 0
#endif

// Pixel space here is y-up: pixel column i covers x in [i, i + 1) with its centre at i + 0.5;
// pixel row j, counted from the bottom, covers y in [j, j + 1) and is Mat row rows - 1 - j.
//
// The hot loops exist twice: portable C++, and AVX2 for x86 processors that have it (chosen at
// run time). Both compute the same values up to float rounding in the blur's sums. The AVX2
// helpers that take vectors are forced inline: left as calls (as the compiler chose once two
// kernels shared them), they pass every vector through the stack, and the blur's row loop took
// 30 % longer.

namespace orlenta {

namespace detail {
// Not part of the header's contract: lets the tests run the portable kernels on a processor that
// would choose the vector ones, and compare the two.
bool coverFacesUsing(const cv::Mat& source, const std::vector<Rect>& rects, CoverStyle style,
                     cv::Mat& destination, bool vectorKernels);
bool vectorKernelsAvailable();
} // namespace detail

namespace {

static_assert(std::endian::native == std::endian::little,
              "pixels are packed and unpacked as little-endian BGRA words");

constexpr double kUnitRadius = kMaskUnitDiameter / 2;
constexpr double kInnerSquared =
    (kMaskInnerRadius / kUnitRadius) * (kMaskInnerRadius / kUnitRadius);
constexpr double kRimWidth = kMaskOuterRadius - kMaskInnerRadius;

// The blur's Gaussian is followed this many sigmas from each pixel centre. The weight beyond
// (0.135 % on each side, below 1/512) is not dropped but given to the outermost block within
// reach: a uniform area stays exactly uniform, and a value can move by at most 0.35 of a level
// per side, only where the blocks beyond differ from that block by the full range.
constexpr double kBlurReach = 3.0;

// The blur's blocks average every stride-th of their rows, with the stride chosen so that at
// least this many rows of each block enter. The blur then spreads each block over more than a
// block's width, so taking a few rows makes no visible difference, while the averages, which
// read about four times the face's area of memory, cost a fraction.
constexpr double kBlurRowsPerBlock = 6.0;

// From this sigma on, the blur computes every other row in full and takes each row between as
// the mean of its two neighbours. The blurred block image bends by at most 166 / sigma^2 levels
// per pixel^2 (full-range blocks alternating at the blur's block spacing), so such a mean is
// within 83 / sigma^2 of the exact row: 0.21 of a level at sigma 20, less above. Where the
// 3-sigma reach moves a block into or out of a row's sum, the mean can also be off by half of
// that small step (at most 0.35 of a level). Large faces cost in proportion to their area, and
// this halves their multiply-adds.
constexpr double kInterpolatedRowsFromSigma = 20.0;

int blurRowStride(double blockSize) {
    return static_cast<int>(std::clamp(std::floor(blockSize / kBlurRowsPerBlock), 1.0, 65536.0));
}

constexpr uint32_t kAlphaMask = 0xFF000000u;

int clampToInt(double v, int lo, int hi) {
    if (!(v > lo))
        return lo;
    if (!(v < hi))
        return hi;
    return static_cast<int>(v);
}

// ---------------------------------------------------------------------------------------------
// Mask

// Mask value from the squared normalized radius (1 on the ellipse's outer edge).
double maskFromSquaredRadius(double r2) {
    if (r2 <= kInnerSquared)
        return 1.0;
    if (!(r2 < 1.0))
        return 0.0;
    const double rho = kUnitRadius * std::sqrt(r2);
    return std::clamp((kMaskOuterRadius - rho) / kRimWidth, 0.0, 1.0);
}

struct FaceArea {
    Rect face;
    int x0, y0, x1, y1; // visible pixels: columns [x0, x1), bottom-up rows [y0, y1)
    int width() const { return x1 - x0; }
};

// Within one pixel row, columns relative to the area's x0: where the mask is above zero,
// [begin, end), and among them where it is certainly 1, [innerBegin, innerEnd).
struct RowSpans {
    int begin = 0;
    int end = 0;
    int innerBegin = 0;
    int innerEnd = 0;
};

// One pixel row of a face's visible area, ready to be covered.
struct RowTarget {
    uchar* pixels = nullptr; // BGRA, starting at the area's x0
    int width = 0;           // pixels from x0 to the area's right edge
    const double* columnTerms = nullptr;
    double rowTerm = 0;
    RowSpans spans;
};

// Where a blurred row is computed: at least over [from, to) (a span that holds the row's own
// span), and, when `keep` is set, also kept there as three float planes for interpolated rows.
struct BlurSpan {
    int from = 0;
    int to = 0;
    float* keep = nullptr;
};

// The mask of one face sampled at the pixel centres of its visible area. The squared normalized
// radius is a column term plus a row term, each computed once; maskFromSquaredRadius of their
// sum is then exactly EllipseMask::value() at the pixel's centre.
class MaskGrid {
public:
    MaskGrid(const EllipseMask& mask, const FaceArea& area)
        : mask_(mask), columnTerms_(static_cast<size_t>(area.width())) {
        for (size_t q = 0; q < columnTerms_.size(); ++q) {
            const double nx =
                (area.x0 + static_cast<double>(q) + 0.5 - mask.center.x) / mask.semiAxisX;
            columnTerms_[q] = nx * nx;
        }
        // The column whose centre is nearest the mask's centre: the terms fall towards it from
        // the left and rise after it.
        nearest_ = clampToInt(std::floor(mask.center.x) - area.x0, 0, area.width() - 1);
        leftEdge_[0] = leftEdge_[1] = nearest_;
        rightEdge_[0] = rightEdge_[1] = nearest_ + 1;
    }

    const double* columnTerms() const { return columnTerms_.data(); }

    double rowTerm(int j) const {
        const double ny = (j + 0.5 - mask_.center.y) / mask_.semiAxisY;
        return ny * ny;
    }

    // The spans of the row with this row term. Rows are usually asked for in order, so each
    // edge is found by walking from where it was in the row before.
    RowSpans spans(double rowTerm) {
        RowSpans s;
        if (!(columnTerms_[nearest_] + rowTerm < 1.0))
            return s;
        s.begin = leftEdge_[0] = leftEdge(rowTerm, 1.0, leftEdge_[0]);
        s.end = rightEdge_[0] = rightEdge(rowTerm, 1.0, rightEdge_[0]);
        // A squared radius of at most kInnerSquared gives a value of exactly 1.
        const double inner = std::nextafter(kInnerSquared, 2.0);
        if (columnTerms_[nearest_] + rowTerm < inner) {
            s.innerBegin = leftEdge_[1] = leftEdge(rowTerm, inner, leftEdge_[1]);
            s.innerEnd = rightEdge_[1] = rightEdge(rowTerm, inner, rightEdge_[1]);
        } else {
            s.innerBegin = s.innerEnd = s.begin;
        }
        return s;
    }

private:
    // Inside means a squared radius below `limit`. Left of the nearest column the terms fall,
    // so the inside columns there are those from some edge on; right of it they rise, so they
    // end at some edge. The nearest column itself is inside.
    int leftEdge(double rowTerm, double limit, int from) const {
        auto inside = [&](int q) { return columnTerms_[q] + rowTerm < limit; };
        int q = std::clamp(from, 0, nearest_);
        while (q > 0 && inside(q - 1))
            --q;
        while (q < nearest_ && !inside(q))
            ++q;
        return q;
    }

    int rightEdge(double rowTerm, double limit, int from) const {
        auto inside = [&](int q) { return columnTerms_[q] + rowTerm < limit; };
        const int width = static_cast<int>(columnTerms_.size());
        int q = std::clamp(from, nearest_ + 1, width);
        while (q < width && inside(q))
            ++q;
        while (q > nearest_ + 1 && !inside(q - 1))
            --q;
        return q;
    }

    const EllipseMask& mask_;
    std::vector<double> columnTerms_;
    int nearest_ = 0;
    int leftEdge_[2] = {0, 0}; // outer and inner edge in the row asked for last
    int rightEdge_[2] = {0, 0};
};

// ---------------------------------------------------------------------------------------------
// Normal CDF

// static_cast<double>(k), written so that on x86 the conversion does not wait for whatever last
// wrote its register: a plain cvtsi2sd merges into the old register value, which chains the
// iterations of the weight loops and made them several times slower.
inline double wholeToDouble(int k) {
#if defined(__SSE2__)
    return _mm_cvtsd_f64(_mm_cvtsi32_sd(_mm_setzero_pd(), k));
#else
    return static_cast<double>(k);
#endif
}

// The standard normal CDF by linear interpolation in a table with 128 entries per unit: within
// 2e-6 of the exact value (a weight error far below a thousandth of a level), for a few
// operations instead of an erfc. The table covers only the blur's reach, so that it stays in the
// first-level cache (8 KB) next to the blur's other data.
class NormalCdf {
public:
    NormalCdf() : value_(static_cast<size_t>(kSteps) + 2) {
        for (int k = 0; k <= kSteps + 1; ++k) {
            const double t = -kLimit + static_cast<double>(k) / kPerUnit;
            value_[k] = 0.5 * std::erfc(-t / std::sqrt(2.0));
        }
    }

    // For |t| < kLimit only.
    double within(double t) const {
        const double x = (t + kLimit) * kPerUnit;
        const int k = static_cast<int>(x);
        const double u = x - wholeToDouble(k);
        return value_[k] + u * (value_[k + 1] - value_[k]);
    }

private:
    static constexpr double kLimit = 4.0;
    static_assert(kBlurReach < kLimit);
    static constexpr int kPerUnit = 128;
    static constexpr int kSteps = static_cast<int>(2 * kLimit) * kPerUnit;
    std::vector<double> value_;
};

const NormalCdf& normalCdf() {
    static const NormalCdf table;
    return table;
}

// ---------------------------------------------------------------------------------------------
// Block grid

// One axis of the block grid: boundaries at origin + k * size for every whole k. A pixel belongs
// to the block that holds its centre. The axis keeps the run of blocks first .. first + count - 1
// and, for each, which pixels of the clamped image it averages: its pixels inside [0, n) plus,
// for positions beyond an edge, as many more copies of the edge pixel.
struct GridAxis {
    double origin = 0;
    double size = 1;
    int n = 0;
    long first = 0;
    int count = 0;
    std::vector<double> starts; // first pixel index of each block, and one past the last block

    double boundary(int t) const { return origin + static_cast<double>(first + t) * size; }
    int spanBegin(int t) const { return clampToInt(starts[t], 0, n); }
    int spanEnd(int t) const { return clampToInt(starts[t + 1], 0, n); }
    double extraBelow(int t) const {
        return std::max(0.0, std::min(starts[t + 1], 0.0) - starts[t]);
    }
    double extraAbove(int t) const {
        return std::max(0.0, starts[t + 1] - std::max(starts[t], static_cast<double>(n)));
    }
    double pixelCount(int t) const { return starts[t + 1] - starts[t]; }
};

double blockStart(double origin, double size, long k) {
    return std::ceil(origin + static_cast<double>(k) * size - 0.5);
}

// The blocks that meet [lo + 0.5 - reach, hi - 0.5 + reach] (with reach 0: that hold the pixel
// centres of lo .. hi - 1), but never more than one block beyond the image on either side: all
// blocks beyond an edge repeat that edge and look alike.
GridAxis makeAxis(double origin, double size, int n, int lo, int hi, double reach) {
    GridAxis axis;
    axis.origin = origin;
    axis.size = size;
    axis.n = n;
    // origin lies within the image and size >= 10, so these block numbers are small.
    const long frameFirst = static_cast<long>(std::floor((0.5 - origin) / size)) - 1;
    const long frameLast = static_cast<long>(std::floor((n - 0.5 - origin) / size)) + 1;
    auto blockOf = [&](double t) {
        const double k = std::floor((t - origin) / size);
        return static_cast<long>(
            std::clamp(k, static_cast<double>(frameFirst), static_cast<double>(frameLast)));
    };
    long first = blockOf(lo + 0.5 - reach);
    long last = blockOf(hi - 0.5 + reach);
    // Guard against rounding between the floor above and the ceil of the block starts.
    while (first > frameFirst && blockStart(origin, size, first) > lo)
        --first;
    while (last < frameLast && blockStart(origin, size, last + 1) < hi)
        ++last;
    axis.first = first;
    axis.count = static_cast<int>(last - first + 1);
    axis.starts.resize(static_cast<size_t>(axis.count) + 1);
    for (int t = 0; t <= axis.count; ++t)
        axis.starts[t] = blockStart(origin, size, first + t);
    return axis;
}

// ---------------------------------------------------------------------------------------------
// Kernels. A patch row is three float planes (B, G, R) `stride` apart, indexed by the column
// relative to the face area's x0.

// acc[b] += byte b of each of `rows` rows (from `top`, `step` bytes apart), for b < bytes.
void sumColumnsPortable(const uchar* top, size_t step, int rows, int bytes, uint32_t* acc) {
    for (int r = 0; r < rows; ++r) {
        const uchar* p = top + static_cast<size_t>(r) * step;
        for (int b = 0; b < bytes; ++b)
            acc[b] += p[b];
    }
}

// total[c] = sum of values[4 * i + c] for i < count and c = B, G, R.
template <typename T> void sumSpanPortable(const T* values, int count, uint64_t total[3]) {
    total[0] = total[1] = total[2] = 0;
    for (int i = 0; i < count; ++i, values += 4)
        for (int c = 0; c < 3; ++c)
            total[c] += values[c];
}

// One block row blurred horizontally: plane c at q = sum over blocks tx of colours[tx * 3 + c]
// times weights[tx * stride + q] (the share of block tx at column q). Columns go in steps of 8;
// step k takes only the blocks firstBlock[k] .. endBlock[k] - 1, the others weigh nothing there.
void mixBlockRowPortable(const float* colours, const float* weights, size_t stride,
                         const int* firstBlock, const int* endBlock, int steps, float* planes) {
    for (int k = 0; k < steps; ++k)
        for (int q = 8 * k; q < 8 * k + 8; ++q) {
            float sum[3] = {0, 0, 0};
            for (int tx = firstBlock[k]; tx < endBlock[k]; ++tx)
                for (int c = 0; c < 3; ++c)
                    sum[c] += colours[3 * tx + c] * weights[static_cast<size_t>(tx) * stride + q];
            for (int c = 0; c < 3; ++c)
                planes[c * stride + q] = sum[c];
        }
}

// One row of the blur: out plane c at i = sum over the row's blocks t of
// weights[t] * plane (first + t) * 3 + c at i, for i in [begin, end).
void blurRowPortable(const float* planes, size_t stride, int first, int count, const float* weights,
                     int begin, int end, float* out) {
    for (int i = begin; i < end; ++i) {
        float sum[3] = {0, 0, 0};
        for (int t = 0; t < count; ++t) {
            const float* plane = planes + static_cast<size_t>(first + t) * 3 * stride + i;
            for (int c = 0; c < 3; ++c)
                sum[c] += weights[t] * plane[c * stride];
        }
        for (int c = 0; c < 3; ++c)
            out[c * stride + i] = sum[c];
    }
}

// Pixels q in [begin, end) of `row` take the patch, rounded; alpha stays.
void storePatchPortable(const float* patch, size_t stride, int begin, int end, uchar* row) {
    for (int q = begin; q < end; ++q)
        for (int c = 0; c < 3; ++c)
            row[4 * static_cast<size_t>(q) + c] = cv::saturate_cast<uchar>(patch[c * stride + q]);
}

// Pixels q in [begin, end) of `row` take colours[q] (B, G, R packed as in a pixel, alpha zero);
// alpha stays.
void fillKeepingAlphaPortable(const uint32_t* colours, int begin, int end, uchar* row) {
    for (int q = begin; q < end; ++q) {
        uchar* px = row + 4 * static_cast<size_t>(q);
        px[0] = static_cast<uchar>(colours[q]);
        px[1] = static_cast<uchar>(colours[q] >> 8);
        px[2] = static_cast<uchar>(colours[q] >> 16);
    }
}

// Pixels q in [begin, end) of `row` become patch * m + pixel * (1 - m) with m the mask value
// (columnTerms[q] + rowTerm); alpha stays. `limit` is the end of the row's area.
void blendPatchPortable(const float* patch, size_t stride, const double* columnTerms,
                        double rowTerm, int begin, int end, int /*limit*/, uchar* row) {
    for (int q = begin; q < end; ++q) {
        const float m = static_cast<float>(maskFromSquaredRadius(columnTerms[q] + rowTerm));
        uchar* px = row + 4 * static_cast<size_t>(q);
        for (int c = 0; c < 3; ++c)
            px[c] = cv::saturate_cast<uchar>(patch[c * stride + q] * m + px[c] * (1.0f - m));
    }
}

// Puts a patch row (planes `stride` apart) into the target row under the mask.
void finishRowPortable(const float* patch, size_t stride, const RowTarget& t) {
    const RowSpans& s = t.spans;
    blendPatchPortable(patch, stride, t.columnTerms, t.rowTerm, s.begin, s.innerBegin, t.width,
                       t.pixels);
    storePatchPortable(patch, stride, s.innerBegin, s.innerEnd, t.pixels);
    blendPatchPortable(patch, stride, t.columnTerms, t.rowTerm, s.innerEnd, s.end, t.width,
                       t.pixels);
}

// One blurred row (see blurRowPortable) put under the mask; the patch row goes to span.keep, or
// to `scratch` when there is none.
void coverBlurRowPortable(const float* planes, size_t stride, int first, int count,
                          const float* weights, float* scratch, const BlurSpan& span,
                          const RowTarget& t) {
    float* patch = span.keep ? span.keep : scratch;
    blurRowPortable(planes, stride, first, count, weights, span.from, span.to, patch);
    finishRowPortable(patch, stride, t);
}

// A row halfway between two blurred rows: their mean, put under the mask.
void coverMeanRowPortable(const float* below, const float* above, size_t stride, float* scratch,
                          const RowTarget& t) {
    for (int c = 0; c < 3; ++c)
        for (int q = t.spans.begin; q < t.spans.end; ++q) {
            const size_t i = c * stride + static_cast<size_t>(q);
            scratch[i] = (below[i] + above[i]) * 0.5f;
        }
    finishRowPortable(scratch, stride, t);
}

#if ORLENTA_COVER_AVX2

// Adds the 16 sums of `sums16` (16-bit) to the 16 sums at `to` (32-bit).
__attribute__((target("avx2"), always_inline)) inline void addWidened(__m256i sums16,
                                                                      uint32_t* to) {
    const __m256i lo = _mm256_cvtepu16_epi32(_mm256_castsi256_si128(sums16));
    const __m256i hi = _mm256_cvtepu16_epi32(_mm256_extracti128_si256(sums16, 1));
    auto* a = reinterpret_cast<__m256i*>(to);
    _mm256_storeu_si256(a, _mm256_add_epi32(_mm256_loadu_si256(a), lo));
    _mm256_storeu_si256(a + 1, _mm256_add_epi32(_mm256_loadu_si256(a + 1), hi));
}

__attribute__((target("avx2"))) void sumColumnsAvx2(const uchar* top, size_t step, int rows,
                                                    int bytes, uint32_t* acc) {
    int b = 0;
    // 64 bytes across, down the rows; 16-bit sums hold 256 rows of 255.
    for (; b + 64 <= bytes; b += 64) {
        for (int r0 = 0; r0 < rows; r0 += 256) {
            const int r1 = std::min(rows, r0 + 256);
            __m256i s0 = _mm256_setzero_si256();
            __m256i s1 = s0;
            __m256i s2 = s0;
            __m256i s3 = s0;
            for (int r = r0; r < r1; ++r) {
                const auto* p =
                    reinterpret_cast<const __m128i*>(top + static_cast<size_t>(r) * step + b);
                s0 = _mm256_add_epi16(s0, _mm256_cvtepu8_epi16(_mm_loadu_si128(p)));
                s1 = _mm256_add_epi16(s1, _mm256_cvtepu8_epi16(_mm_loadu_si128(p + 1)));
                s2 = _mm256_add_epi16(s2, _mm256_cvtepu8_epi16(_mm_loadu_si128(p + 2)));
                s3 = _mm256_add_epi16(s3, _mm256_cvtepu8_epi16(_mm_loadu_si128(p + 3)));
            }
            addWidened(s0, acc + b);
            addWidened(s1, acc + b + 16);
            addWidened(s2, acc + b + 32);
            addWidened(s3, acc + b + 48);
        }
    }
    if (b < bytes)
        sumColumnsPortable(top + b, step, rows, bytes - b, acc + b);
}

__attribute__((target("avx2"))) void sumSpanAvx2(const uint32_t* values, int count,
                                                 uint64_t total[3]) {
    total[0] = total[1] = total[2] = 0;
    // A column sum is at most 65536 rows of 255, so 256 of them still fit 32 bits.
    for (int i = 0; i < count; i += 256) {
        const int chunk = std::min(count - i, 256);
        const uint32_t* v = values + 4 * static_cast<size_t>(i);
        __m256i acc = _mm256_setzero_si256();
        int k = 0;
        for (; k + 2 <= chunk; k += 2)
            acc = _mm256_add_epi32(acc,
                                   _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + 4 * k)));
        __m128i sum = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
        if (k < chunk)
            sum = _mm_add_epi32(sum, _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + 4 * k)));
        total[0] += static_cast<uint32_t>(_mm_cvtsi128_si32(sum));
        total[1] += static_cast<uint32_t>(_mm_extract_epi32(sum, 1));
        total[2] += static_cast<uint32_t>(_mm_extract_epi32(sum, 2));
    }
}

__attribute__((target("avx2,fma"))) void mixBlockRowAvx2(const float* colours, const float* weights,
                                                         size_t stride, const int* firstBlock,
                                                         const int* endBlock, int steps,
                                                         float* planes) {
    for (int k = 0; k < steps; ++k) {
        const size_t q = 8 * static_cast<size_t>(k);
        __m256 b = _mm256_setzero_ps();
        __m256 g = b;
        __m256 r = b;
        for (int tx = firstBlock[k]; tx < endBlock[k]; ++tx) {
            const __m256 w = _mm256_loadu_ps(weights + static_cast<size_t>(tx) * stride + q);
            b = _mm256_fmadd_ps(w, _mm256_set1_ps(colours[3 * tx]), b);
            g = _mm256_fmadd_ps(w, _mm256_set1_ps(colours[3 * tx + 1]), g);
            r = _mm256_fmadd_ps(w, _mm256_set1_ps(colours[3 * tx + 2]), r);
        }
        _mm256_storeu_ps(planes + q, b);
        _mm256_storeu_ps(planes + stride + q, g);
        _mm256_storeu_ps(planes + 2 * stride + q, r);
    }
}

// Eight BGRA pixels from three channel vectors and the alpha of `old`. Each channel is rounded to
// the nearest integer (ties to even, as cv::saturate_cast) and saturated to 0..255 by the two
// packs; the values here never exceed the 16-bit range in which the second pack saturates
// correctly.
__attribute__((target("avx2"), always_inline)) inline __m256i packPixels(__m256 b, __m256 g,
                                                                         __m256 r, __m256i old) {
    // Per 128-bit lane (pixels 0-3, then 4-7): B0..3 G0..3 as 16-bit, then R0..3 twice, then as
    // bytes B0..3 G0..3 R0..3 R0..3, and finally shuffled into B G R 0 per pixel.
    const __m256i bg = _mm256_packus_epi32(_mm256_cvtps_epi32(b), _mm256_cvtps_epi32(g));
    const __m256i rr = _mm256_packus_epi32(_mm256_cvtps_epi32(r), _mm256_cvtps_epi32(r));
    const __m256i planar = _mm256_packus_epi16(bg, rr);
    const __m256i order = _mm256_setr_epi8(0, 4, 8, -1, 1, 5, 9, -1, 2, 6, 10, -1, 3, 7, 11, -1, 0,
                                           4, 8, -1, 1, 5, 9, -1, 2, 6, 10, -1, 3, 7, 11, -1);
    const __m256i bgr = _mm256_shuffle_epi8(planar, order);
    return _mm256_or_si256(_mm256_and_si256(old, _mm256_set1_epi32(static_cast<int>(kAlphaMask))),
                           bgr);
}

__attribute__((target("avx2"))) void fillKeepingAlphaAvx2(const uint32_t* colours, int begin,
                                                          int end, uchar* row) {
    const __m256i alpha = _mm256_set1_epi32(static_cast<int>(kAlphaMask));
    int q = begin;
    for (; q + 8 <= end; q += 8) {
        auto* p = reinterpret_cast<__m256i*>(row + 4 * static_cast<size_t>(q));
        const __m256i colour = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(colours + q));
        _mm256_storeu_si256(
            p, _mm256_or_si256(_mm256_and_si256(_mm256_loadu_si256(p), alpha), colour));
    }
    fillKeepingAlphaPortable(colours, q, end, row);
}

// maskFromSquaredRadius for four values.
__attribute__((target("avx2"), always_inline)) inline __m128 maskValues(__m256d r2) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d rho = _mm256_mul_pd(_mm256_set1_pd(kUnitRadius), _mm256_sqrt_pd(r2));
    // Multiplying by 1 / 2 is exactly dividing by 2, as the scalar code does.
    static_assert(kRimWidth == 2.0);
    __m256d m = _mm256_mul_pd(_mm256_sub_pd(_mm256_set1_pd(kMaskOuterRadius), rho),
                              _mm256_set1_pd(1.0 / kRimWidth));
    m = _mm256_min_pd(_mm256_max_pd(m, zero), one);
    m = _mm256_blendv_pd(m, one, _mm256_cmp_pd(r2, _mm256_set1_pd(kInnerSquared), _CMP_LE_OQ));
    m = _mm256_and_pd(m, _mm256_cmp_pd(r2, one, _CMP_LT_OQ));
    return _mm256_cvtpd_ps(m);
}

// Blends eight patch pixels into px by the mask values of their columns (terms at
// columnTerms); alpha stays.
__attribute__((target("avx2"), always_inline)) inline void
blendChunk(__m256 b, __m256 g, __m256 r, const double* columnTerms, __m256d rowTerms, uchar* px) {
    const __m128 lo = maskValues(_mm256_add_pd(_mm256_loadu_pd(columnTerms), rowTerms));
    const __m128 hi = maskValues(_mm256_add_pd(_mm256_loadu_pd(columnTerms + 4), rowTerms));
    const __m256 m = _mm256_insertf128_ps(_mm256_castps128_ps256(lo), hi, 1);
    const __m256 keep = _mm256_sub_ps(_mm256_set1_ps(1.0f), m);
    const __m256i byte = _mm256_set1_epi32(0xFF);
    auto* p = reinterpret_cast<__m256i*>(px);
    const __m256i old = _mm256_loadu_si256(p);
    const __m256 oldB = _mm256_cvtepi32_ps(_mm256_and_si256(old, byte));
    const __m256 oldG = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(old, 8), byte));
    const __m256 oldR = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(old, 16), byte));
    _mm256_storeu_si256(p, packPixels(_mm256_add_ps(_mm256_mul_ps(b, m), _mm256_mul_ps(oldB, keep)),
                                      _mm256_add_ps(_mm256_mul_ps(g, m), _mm256_mul_ps(oldG, keep)),
                                      _mm256_add_ps(_mm256_mul_ps(r, m), _mm256_mul_ps(oldR, keep)),
                                      old));
}

// As blendPatchPortable. Works in steps of 8 pixels that may reach past `end` (but not past
// `limit`): the pixels there get their own mask value, which gives them exactly what the rest of
// the row gives them (unchanged outside the ellipse, the plain patch inside it).
__attribute__((target("avx2"))) void blendPatchAvx2(const float* patch, size_t stride,
                                                    const double* columnTerms, double rowTerm,
                                                    int begin, int end, int limit, uchar* row) {
    const __m256d rowTerms = _mm256_set1_pd(rowTerm);
    int q = begin;
    for (; q < end && q + 8 <= limit; q += 8)
        blendChunk(_mm256_loadu_ps(patch + q), _mm256_loadu_ps(patch + stride + q),
                   _mm256_loadu_ps(patch + 2 * stride + q), columnTerms + q, rowTerms,
                   row + 4 * static_cast<size_t>(q));
    if (q < end)
        blendPatchPortable(patch, stride, columnTerms, rowTerm, q, end, limit, row);
}

// Puts eight blurred pixels from column q into the target row: stored where the mask is 1
// throughout, blended elsewhere, and through `scratch` when they would reach past the area.
__attribute__((target("avx2"), always_inline)) inline void
finishChunk(const RowTarget& t, int q, __m256 b, __m256 g, __m256 r, __m256d rowTerms,
            float* scratch, size_t stride) {
    const RowSpans& s = t.spans;
    uchar* px = t.pixels + 4 * static_cast<size_t>(q);
    if (q >= s.innerBegin && q + 8 <= s.innerEnd) {
        auto* p = reinterpret_cast<__m256i*>(px);
        _mm256_storeu_si256(p, packPixels(b, g, r, _mm256_loadu_si256(p)));
    } else if (q + 8 <= t.width) {
        blendChunk(b, g, r, t.columnTerms + q, rowTerms, px);
    } else {
        _mm256_storeu_ps(scratch + q, b);
        _mm256_storeu_ps(scratch + stride + q, g);
        _mm256_storeu_ps(scratch + 2 * stride + q, r);
        blendPatchPortable(scratch, stride, t.columnTerms, t.rowTerm, std::max(q, s.begin), s.end,
                           t.width, t.pixels);
    }
}

// As coverBlurRowPortable, in one pass: the patch is summed in registers, 16 pixels at a time
// (two independent sets of sums keep the multiply-adds busy), kept when asked to, and goes
// straight to the row, stored where the mask is 1 throughout and blended elsewhere. Only a step
// of 8 that would reach past the area's edge goes through `scratch`. The planes (and span.keep)
// must be readable (writable) 16 floats past any multiple of 8 below the area's width.
__attribute__((target("avx2,fma"))) void
coverBlurRowAvx2(const float* planes, size_t stride, int first, int count, const float* weights,
                 float* scratch, const BlurSpan& span, const RowTarget& t) {
    const RowSpans& s = t.spans;
    const __m256d rowTerms = _mm256_set1_pd(t.rowTerm);
    // Steps of 8 that meet the row's own span are put into the row.
    auto meetsRow = [&](int q) { return q < s.end && q + 8 > s.begin; };
    for (int q = span.from / 8 * 8; q < span.to; q += 16) {
        __m256 b0 = _mm256_setzero_ps();
        __m256 g0 = b0;
        __m256 r0 = b0;
        __m256 b1 = b0;
        __m256 g1 = b0;
        __m256 r1 = b0;
        for (int k = 0; k < count; ++k) {
            const float* plane = planes + static_cast<size_t>(first + k) * 3 * stride + q;
            const __m256 w = _mm256_set1_ps(weights[k]);
            b0 = _mm256_fmadd_ps(w, _mm256_loadu_ps(plane), b0);
            g0 = _mm256_fmadd_ps(w, _mm256_loadu_ps(plane + stride), g0);
            r0 = _mm256_fmadd_ps(w, _mm256_loadu_ps(plane + 2 * stride), r0);
            b1 = _mm256_fmadd_ps(w, _mm256_loadu_ps(plane + 8), b1);
            g1 = _mm256_fmadd_ps(w, _mm256_loadu_ps(plane + stride + 8), g1);
            r1 = _mm256_fmadd_ps(w, _mm256_loadu_ps(plane + 2 * stride + 8), r1);
        }
        if (span.keep) {
            float* keep = span.keep + q;
            _mm256_storeu_ps(keep, b0);
            _mm256_storeu_ps(keep + stride, g0);
            _mm256_storeu_ps(keep + 2 * stride, r0);
            _mm256_storeu_ps(keep + 8, b1);
            _mm256_storeu_ps(keep + stride + 8, g1);
            _mm256_storeu_ps(keep + 2 * stride + 8, r1);
        }
        if (meetsRow(q))
            finishChunk(t, q, b0, g0, r0, rowTerms, scratch, stride);
        if (meetsRow(q + 8))
            finishChunk(t, q + 8, b1, g1, r1, rowTerms, scratch, stride);
    }
}

__attribute__((target("avx2"), always_inline)) inline __m256 meanOf(const float* a,
                                                                    const float* b) {
    return _mm256_mul_ps(_mm256_add_ps(_mm256_loadu_ps(a), _mm256_loadu_ps(b)),
                         _mm256_set1_ps(0.5f));
}

// As coverMeanRowPortable, 8 pixels at a time.
__attribute__((target("avx2"))) void coverMeanRowAvx2(const float* below, const float* above,
                                                      size_t stride, float* scratch,
                                                      const RowTarget& t) {
    const RowSpans& s = t.spans;
    const __m256d rowTerms = _mm256_set1_pd(t.rowTerm);
    for (int q = s.begin / 8 * 8; q < s.end; q += 8) {
        const float* b = below + q;
        const float* a = above + q;
        finishChunk(t, q, meanOf(b, a), meanOf(b + stride, a + stride),
                    meanOf(b + 2 * stride, a + 2 * stride), rowTerms, scratch, stride);
    }
}

#endif

bool processorHasAvx2() {
#if ORLENTA_COVER_AVX2
    static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return has;
#else
    return false;
#endif
}

struct Kernels {
    void (*sumColumns)(const uchar*, size_t, int, int, uint32_t*) = sumColumnsPortable;
    void (*sumSpan)(const uint32_t*, int, uint64_t*) = sumSpanPortable<uint32_t>;
    void (*mixBlockRow)(const float*, const float*, size_t, const int*, const int*, int,
                        float*) = mixBlockRowPortable;
    void (*coverBlurRow)(const float*, size_t, int, int, const float*, float*, const BlurSpan&,
                         const RowTarget&) = coverBlurRowPortable;
    void (*coverMeanRow)(const float*, const float*, size_t, float*,
                         const RowTarget&) = coverMeanRowPortable;
    void (*fillKeepingAlpha)(const uint32_t*, int, int, uchar*) = fillKeepingAlphaPortable;
    void (*blendPatch)(const float*, size_t, const double*, double, int, int, int,
                       uchar*) = blendPatchPortable;
};

Kernels chooseKernels(bool vector) {
    Kernels k;
#if ORLENTA_COVER_AVX2
    if (vector && processorHasAvx2()) {
        k.sumColumns = sumColumnsAvx2;
        k.sumSpan = sumSpanAvx2;
        k.mixBlockRow = mixBlockRowAvx2;
        k.coverBlurRow = coverBlurRowAvx2;
        k.coverMeanRow = coverMeanRowAvx2;
        k.fillKeepingAlpha = fillKeepingAlphaAvx2;
        k.blendPatch = blendPatchAvx2;
    }
#else
    (void)vector;
#endif
    return k;
}

// ---------------------------------------------------------------------------------------------
// Block averages

// Adds to averages (3 per block) `weight` times each block's average B, G, R along x, from
// `values`: 4 per column (B, G, R, A), starting at column xb. Positions past an image edge count
// as copies of the edge column. Counts enter as fractions, so that blocks of any size (even
// larger than a double can count squared) stay finite.
template <typename T>
void addBlockAverages(const T* values, const GridAxis& xs, int xb, double weight, double* averages,
                      void (*sumSpan)(const T*, int, uint64_t*)) {
    for (int tx = 0; tx < xs.count; ++tx) {
        uint64_t total[3];
        sumSpan(values + 4 * static_cast<size_t>(xs.spanBegin(tx) - xb),
                xs.spanEnd(tx) - xs.spanBegin(tx), total);
        const double count = xs.pixelCount(tx);
        const double left = xs.extraBelow(tx) / count;
        const double right = xs.extraAbove(tx) / count;
        // An extra count is above zero only for a block that reaches past that edge, so the
        // edge column is among the values.
        for (int c = 0; c < 3; ++c) {
            double average = static_cast<double>(total[c]) / count;
            if (left > 0)
                average += left * static_cast<double>(values[4 * static_cast<size_t>(0 - xb) + c]);
            if (right > 0)
                average +=
                    right * static_cast<double>(values[4 * static_cast<size_t>(xs.n - 1 - xb) + c]);
            averages[3 * static_cast<size_t>(tx) + c] += weight * average;
        }
    }
}

// The rows of one block row that enter its average: starts[t], starts[t] + stride, ... below
// starts[t + 1], where rows beyond an image edge stand for copies of the edge row. `inside` are
// those within the image (the first of them, `first`), `below` and `above` those beyond each
// edge.
struct SampledRows {
    int first = 0;
    int inside = 0;
    double below = 0;
    double above = 0;
    double total() const { return below + inside + above; }
};

SampledRows sampledRows(const GridAxis& ys, int t, double stride) {
    const double start = ys.starts[t];
    const double total = std::ceil(ys.pixelCount(t) / stride);
    // k-th sampled row: start + k * stride; those with k in [k0, k1) lie in [0, n).
    const double k0 = std::clamp(std::ceil(-start / stride), 0.0, total);
    const double k1 = std::clamp(std::ceil((ys.n - start) / stride), k0, total);
    SampledRows rows;
    rows.below = k0;
    rows.above = total - k1;
    rows.inside = static_cast<int>(k1 - k0);
    if (rows.inside > 0)
        rows.first = static_cast<int>(start + k0 * stride);
    return rows;
}

// The average B, G, R of every block of the grid over the source clamped to its extent (pixels
// beyond an edge repeat the edge). The average, not one sampled pixel, is taken: a sampled pixel
// could pass an eye or the mouth through unchanged. With a row stride above 1 the average is
// taken over every stride-th row of the block (all of its columns), which is still a mean of
// many pixels spread over the whole block but reads a fraction of the memory. Result: 3 floats
// per block, block (tx, ty) at (ty * xs.count + tx) * 3.
std::vector<float> blockAverages(const cv::Mat& src, const GridAxis& xs, const GridAxis& ys,
                                 int rowStride, const Kernels& kernels) {
    const int rows = src.rows;
    const int xb = xs.spanBegin(0);
    const int width = xs.spanEnd(xs.count - 1) - xb;
    std::vector<uint32_t> acc(static_cast<size_t>(width) * 4);
    std::vector<double> sums(static_cast<size_t>(xs.count) * 3);
    std::vector<float> averages(static_cast<size_t>(xs.count) * ys.count * 3);
    auto pixels = [&](int j) { return src.ptr<uchar>(rows - 1 - j) + 4 * static_cast<size_t>(xb); };
    // Bottom-up row j + stride is `stride` Mat rows further up in memory.
    const size_t step = src.step * static_cast<size_t>(rowStride);

    for (int ty = 0; ty < ys.count; ++ty) {
        std::fill(sums.begin(), sums.end(), 0.0);
        const SampledRows sampled = sampledRows(ys, ty, rowStride);
        const double count = sampled.total();
        // The sampled rows inside the image, in chunks small enough for 32-bit column sums.
        for (int k0 = 0; k0 < sampled.inside; k0 += 65536) {
            const int k1 = std::min(sampled.inside, k0 + 65536);
            std::fill(acc.begin(), acc.end(), 0u);
            kernels.sumColumns(pixels(sampled.first + (k1 - 1) * rowStride), step, k1 - k0,
                               width * 4, acc.data());
            addBlockAverages(acc.data(), xs, xb, 1.0 / count, sums.data(), kernels.sumSpan);
        }
        if (sampled.below > 0)
            addBlockAverages(pixels(0), xs, xb, sampled.below / count, sums.data(),
                             sumSpanPortable<uchar>);
        if (sampled.above > 0)
            addBlockAverages(pixels(rows - 1), xs, xb, sampled.above / count, sums.data(),
                             sumSpanPortable<uchar>);

        float* out = averages.data() + static_cast<size_t>(ty) * xs.count * 3;
        for (size_t k = 0; k < sums.size(); ++k)
            out[k] = static_cast<float>(sums[k]);
    }
    return averages;
}

// ---------------------------------------------------------------------------------------------
// Gaussian weights

// The share of a Gaussian around each pixel centre lo + 0.5 .. hi - 0.5 that falls on each block
// of an axis: a difference of the normal CDF at the block's two edges. Only the blocks within
// kBlurReach sigmas count for a pixel; the first of them takes everything below and the last
// everything above, so a pixel's weights always sum to 1.
struct AxisWeights {
    std::vector<int> first;     // per pixel: first block with a weight
    std::vector<int> count;     // per pixel: number of blocks with a weight
    std::vector<float> weights; // per pixel: one entry per block of the axis, zero outside the run
};

AxisWeights gaussianWeights(const GridAxis& axis, int lo, int hi, double sigma) {
    const NormalCdf& cdf = normalCdf();
    const int pixels = hi - lo;
    const int blocks = axis.count;
    AxisWeights w;
    w.first.resize(static_cast<size_t>(pixels));
    w.count.resize(static_cast<size_t>(pixels));
    w.weights.assign(static_cast<size_t>(pixels) * blocks, 0.0f);
    // Boundaries in units of sigma from the first pixel centre.
    const double perSigma = 1.0 / sigma;
    std::vector<double> bounds(static_cast<size_t>(blocks));
    for (int t = 1; t < blocks; ++t)
        bounds[t] = (axis.boundary(t) - (lo + 0.5)) * perSigma;
    // Inner boundaries t = 1 .. blocks - 1 lie between block t - 1 and block t. Boundaries
    // a .. b - 1 are within reach of the pixel centre, so blocks a - 1 .. b - 1 carry weight.
    int a = 1;
    int b = 1;
    for (int p = 0; p < pixels; ++p) {
        const double centre = p * perSigma;
        while (a < blocks && bounds[a] <= centre - kBlurReach)
            ++a;
        b = std::max(a, b);
        while (b < blocks && bounds[b] < centre + kBlurReach)
            ++b;
        float* out = w.weights.data() + static_cast<size_t>(p) * blocks;
        double below = 0.0;
        for (int t = a; t < b; ++t) {
            const double at = cdf.within(bounds[t] - centre);
            out[t - 1] = static_cast<float>(at - below);
            below = at;
        }
        out[b - 1] = static_cast<float>(1.0 - below);
        w.first[p] = a - 1;
        w.count[p] = b - a + 1;
    }
    return w;
}

// ---------------------------------------------------------------------------------------------
// Styles

void coverPixelated(const cv::Mat& src, cv::Mat& dst, const FaceArea& area,
                    const Kernels& kernels) {
    const double size = std::max(area.face.width / kPixelateBlockDivisor, kMinimumBlockSize);
    const double cx = (area.x0 + area.x1) * 0.5;
    const double cy = (area.y0 + area.y1) * 0.5;
    const GridAxis xs = makeAxis(cx, size, src.cols, area.x0, area.x1, 0.0);
    const GridAxis ys = makeAxis(cy, size, src.rows, area.y0, area.y1, 0.0);
    const std::vector<float> colours = blockAverages(src, xs, ys, 1, kernels);
    const int width = area.width();
    const size_t stride = static_cast<size_t>(width);

    const EllipseMask mask = ellipseMask(area.face);
    MaskGrid grid(mask, area);
    std::vector<float> patch(3 * stride);
    std::vector<uint32_t> packed(stride);
    for (int ty = 0; ty < ys.count; ++ty) {
        const int jb = std::max(ys.spanBegin(ty), area.y0);
        const int je = std::min(ys.spanEnd(ty), area.y1);
        if (jb >= je)
            continue;
        // Every row of this block row has the same patch: each column its block's colour, as
        // floats for blending and rounded and packed for plain stores.
        for (int tx = 0; tx < xs.count; ++tx) {
            const float* colour = colours.data() + (static_cast<size_t>(ty) * xs.count + tx) * 3;
            const int qb = std::max(xs.spanBegin(tx), area.x0) - area.x0;
            const int qe = std::min(xs.spanEnd(tx), area.x1) - area.x0;
            uint32_t word = 0;
            for (int c = 0; c < 3; ++c) {
                std::fill(patch.begin() + static_cast<std::ptrdiff_t>(c * stride + qb),
                          patch.begin() + static_cast<std::ptrdiff_t>(c * stride + qe), colour[c]);
                word |= static_cast<uint32_t>(cv::saturate_cast<uchar>(colour[c])) << (8 * c);
            }
            std::fill(packed.begin() + qb, packed.begin() + qe, word);
        }
        for (int j = jb; j < je; ++j) {
            uchar* row = dst.ptr<uchar>(dst.rows - 1 - j) + 4 * static_cast<size_t>(area.x0);
            const double rowTerm = grid.rowTerm(j);
            const RowSpans s = grid.spans(rowTerm);
            const double* terms = grid.columnTerms();
            // The left rim's steps of 8 may not reach past the inner span: pixels of the right
            // rim would be blended there and then once more by the call for the right rim.
            kernels.blendPatch(patch.data(), stride, terms, rowTerm, s.begin, s.innerBegin,
                               s.innerEnd, row);
            kernels.fillKeepingAlpha(packed.data(), s.innerBegin, s.innerEnd, row);
            kernels.blendPatch(patch.data(), stride, terms, rowTerm, s.innerEnd, s.end, width, row);
        }
    }
}

// The pixelated image is constant on each block, so its Gaussian blur at a pixel centre is the
// sum over blocks of the block's colour times the Gaussian's share of that block, and that share
// is the product of two one-dimensional shares. That is exact for any sigma and costs, per pixel,
// the number of blocks within reach rather than the size of a kernel. The sum is taken in two
// steps: first each block row blurred horizontally at every pixel column (planes), then each
// pixel as the vertical mix of the planes at its column (for a wide blur, on every other row; see
// kInterpolatedRowsFromSigma).
void coverBlurred(const cv::Mat& src, cv::Mat& dst, const FaceArea& area, const Kernels& kernels) {
    const double size = std::max(area.face.width / kBlurBlockDivisor, kMinimumBlockSize);
    const double sigma = area.face.width * kBlurStrength;
    const double reach = kBlurReach * sigma;
    const double cx = (area.x0 + area.x1) * 0.5;
    const double cy = (area.y0 + area.y1) * 0.5;
    const GridAxis xs = makeAxis(cx, size, src.cols, area.x0, area.x1, reach);
    const GridAxis ys = makeAxis(cy, size, src.rows, area.y0, area.y1, reach);
    const std::vector<float> colours = blockAverages(src, xs, ys, blurRowStride(size), kernels);
    const AxisWeights wx = gaussianWeights(xs, area.x0, area.x1, sigma);
    const AxisWeights wy = gaussianWeights(ys, area.y0, area.y1, sigma);
    const int width = area.width();
    // Padded for the vector kernel, which reads 16 floats from any multiple of 8 below width.
    const size_t stride = (static_cast<size_t>(width) + 7) / 8 * 8 + 8;

    // Each block column's weight at every pixel column, and for each step of 8 columns the
    // blocks that weigh anything there (their runs only move right from column to column).
    std::vector<float> columnWeights(static_cast<size_t>(xs.count) * stride, 0.0f);
    for (int q = 0; q < width; ++q)
        for (int tx = wx.first[q]; tx < wx.first[q] + wx.count[q]; ++tx)
            columnWeights[static_cast<size_t>(tx) * stride + q] =
                wx.weights[static_cast<size_t>(q) * xs.count + tx];
    const int steps = (width + 7) / 8;
    std::vector<int> firstBlock(static_cast<size_t>(steps));
    std::vector<int> endBlock(static_cast<size_t>(steps));
    for (int k = 0; k < steps; ++k) {
        const int last = std::min(8 * k + 7, width - 1);
        firstBlock[k] = wx.first[8 * k];
        endBlock[k] = wx.first[last] + wx.count[last];
    }

    // Plane ty * 3 + c: channel c of block row ty blurred horizontally, at each pixel column
    // (zero in the padding).
    std::vector<float> planes(static_cast<size_t>(ys.count) * 3 * stride, 0.0f);
    for (int ty = 0; ty < ys.count; ++ty)
        kernels.mixBlockRow(colours.data() + static_cast<size_t>(ty) * xs.count * 3,
                            columnWeights.data(), stride, firstBlock.data(), endBlock.data(), steps,
                            planes.data() + static_cast<size_t>(ty) * 3 * stride);

    const EllipseMask mask = ellipseMask(area.face);
    MaskGrid grid(mask, area);
    const int rows = area.y1 - area.y0;
    std::vector<RowTarget> targets(static_cast<size_t>(rows));
    for (int p = 0; p < rows; ++p) {
        const int j = area.y0 + p;
        RowTarget& t = targets[p];
        t.pixels = dst.ptr<uchar>(dst.rows - 1 - j) + 4 * static_cast<size_t>(area.x0);
        t.width = width;
        t.columnTerms = grid.columnTerms();
        t.rowTerm = grid.rowTerm(j);
        t.spans = grid.spans(t.rowTerm);
    }

    // With a wide enough Gaussian, every odd row that has a row above is the mean of its two
    // neighbours, which are computed in full and kept for it.
    const bool interpolate = sigma >= kInterpolatedRowsFromSigma;
    auto interpolated = [&](int p) { return interpolate && p % 2 == 1 && p + 1 < rows; };
    auto include = [](BlurSpan& span, const RowSpans& s) {
        if (s.begin >= s.end)
            return;
        span.from = span.from < span.to ? std::min(span.from, s.begin) : s.begin;
        span.to = std::max(span.to, s.end);
    };
    std::vector<float> patch(3 * stride, 0.0f);
    std::vector<float> kept[2];
    if (interpolate)
        kept[0] = kept[1] = std::vector<float>(3 * stride, 0.0f);
    for (int p = 0; p < rows; ++p) {
        if (interpolated(p))
            continue;
        BlurSpan span;
        include(span, targets[p].spans);
        const bool below = p >= 1 && interpolated(p - 1);
        const bool above = p + 1 < rows && interpolated(p + 1);
        if (below)
            include(span, targets[p - 1].spans);
        if (above)
            include(span, targets[p + 1].spans);
        if (below || above)
            span.keep = kept[p / 2 % 2].data();
        if (span.from < span.to)
            kernels.coverBlurRow(planes.data(), stride, wy.first[p], wy.count[p],
                                 wy.weights.data() + static_cast<size_t>(p) * ys.count +
                                     wy.first[p],
                                 patch.data(), span, targets[p]);
        // Row p - 1 lies between the rows kept last time and this time.
        if (below && targets[p - 1].spans.begin < targets[p - 1].spans.end)
            kernels.coverMeanRow(kept[(p / 2 + 1) % 2].data(), span.keep, stride, patch.data(),
                                 targets[p - 1]);
    }
}

void coverBoxed(cv::Mat& dst, const FaceArea& area) {
    const int top = dst.rows - area.y1;
    dst(cv::Rect(area.x0, top, area.width(), area.y1 - area.y0)).setTo(cv::Scalar(0, 0, 0, 255));
}

bool sharesMemory(const cv::Mat& a, const cv::Mat& b) {
    if (a.empty() || b.empty())
        return false;
    const auto aBegin = reinterpret_cast<std::uintptr_t>(a.datastart);
    const auto aEnd = reinterpret_cast<std::uintptr_t>(a.dataend);
    const auto bBegin = reinterpret_cast<std::uintptr_t>(b.datastart);
    const auto bEnd = reinterpret_cast<std::uintptr_t>(b.dataend);
    return aBegin < bEnd && bBegin < aEnd;
}

} // namespace

double EllipseMask::value(Point p) const {
    if (!extent.containsHalfOpen(p))
        return 0.0;
    if (!(semiAxisX > 0) || !(semiAxisY > 0))
        return 0.0;
    const double nx = (p.x - center.x) / semiAxisX;
    const double ny = (p.y - center.y) / semiAxisY;
    return maskFromSquaredRadius(nx * nx + ny * ny);
}

EllipseMask ellipseMask(const Rect& face) {
    EllipseMask mask;
    mask.extent = face.insetBy(-kMaskMargin, -kMaskMargin);
    mask.center = face.center();
    mask.semiAxisX = face.width / 2;
    mask.semiAxisY = face.height / 2;
    return mask;
}

bool detail::vectorKernelsAvailable() {
    return processorHasAvx2();
}

bool detail::coverFacesUsing(const cv::Mat& source, const std::vector<Rect>& rects,
                             CoverStyle style, cv::Mat& destination, bool vectorKernels) {
    if (source.empty() || source.dims != 2 || source.type() != CV_8UC4)
        return false;
    if (destination.empty())
        destination.create(source.size(), source.type());
    else if (destination.dims != 2 || destination.size() != source.size() ||
             destination.type() != source.type())
        return false;

    // Covering in place (or into an overlapping view) would let a face read pixels that an
    // earlier face already covered; work from a private copy of the frame instead.
    cv::Mat privateSource;
    const cv::Mat* src = &source;
    if (sharesMemory(source, destination)) {
        privateSource = source.clone();
        src = &privateSource;
    }
    src->copyTo(destination);

    const Kernels kernels = chooseKernels(vectorKernels);
    const Rect extent{0, 0, static_cast<double>(source.cols), static_cast<double>(source.rows)};
    for (const Rect& r : rects) {
        if (!r.isFinite())
            continue;
        const Rect face = r.integral();
        if (!face.isFinite())
            continue;
        const Rect visible = face.intersection(extent);
        if (visible.isNull() || !(visible.width > kMinimumVisibleSize) ||
            !(visible.height > kMinimumVisibleSize))
            continue;
        // Whole numbers inside the image, so these conversions are exact.
        const FaceArea area{face, static_cast<int>(visible.minX()),
                            static_cast<int>(visible.minY()), static_cast<int>(visible.maxX()),
                            static_cast<int>(visible.maxY())};
        switch (style) {
        case CoverStyle::blur:
            coverBlurred(*src, destination, area, kernels);
            break;
        case CoverStyle::pixelate:
            coverPixelated(*src, destination, area, kernels);
            break;
        case CoverStyle::box:
            coverBoxed(destination, area);
            break;
        }
    }
    return true;
}

bool coverFaces(const cv::Mat& source, const std::vector<Rect>& rects, CoverStyle style,
                cv::Mat& destination) {
    return detail::coverFacesUsing(source, rects, style, destination, true);
}

} // namespace orlenta
