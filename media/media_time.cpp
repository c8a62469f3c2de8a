#include "media/media_time.h"

#include <cmath>
#include <cstdint>
#include <ctime>
#include <limits>

namespace orlenta {

namespace {

// 2^63 as a double: the first value past the int64 range. Every double below it converts
// to int64 without overflow.
constexpr double kInt64Bound = 9223372036854775808.0;

bool fitsInt64(double x) {
    return x >= -kInt64Bound && x < kInt64Bound;
}

struct FloorDivision {
    int64_t quotient;
    int64_t remainder; // 0 <= remainder < divisor
};

FloorDivision floorDivide(int64_t value, int32_t divisor) {
    int64_t q = value / divisor;
    int64_t r = value % divisor;
    if (r < 0) {
        r += divisor;
        --q;
    }
    return {q, r};
}

timespec monotonicNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

} // namespace

Time Time::fromSeconds(double seconds, int32_t timescale) {
    if (timescale <= 0 || !std::isfinite(seconds))
        return invalid();
    const double scaled = std::round(seconds * static_cast<double>(timescale));
    if (!fitsInt64(scaled))
        return invalid();
    return make(static_cast<int64_t>(scaled), timescale);
}

double Time::seconds() const {
    if (!isValid())
        return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(value) / static_cast<double>(timescale);
}

bool operator==(const Time& a, const Time& b) {
    if (!a.isValid() || !b.isValid())
        return a.isValid() == b.isValid();
    // Compare whole seconds and the fractional parts separately: each remainder is below its
    // timescale (< 2^31), so the cross products stay far inside int64.
    const FloorDivision da = floorDivide(a.value, a.timescale);
    const FloorDivision db = floorDivide(b.value, b.timescale);
    return da.quotient == db.quotient && da.remainder * b.timescale == db.remainder * a.timescale;
}

int64_t secondsToNanoseconds(double seconds) {
    if (std::isnan(seconds))
        return 0;
    const double nanoseconds = seconds * 1e9;
    if (nanoseconds >= kInt64Bound)
        return std::numeric_limits<int64_t>::max();
    if (nanoseconds <= -kInt64Bound)
        return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(nanoseconds);
}

Time hostClockTime() {
    const timespec ts = monotonicNow();
    return Time::make(static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec, 1'000'000'000);
}

double currentMediaTime() {
    const timespec ts = monotonicNow();
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

} // namespace orlenta
