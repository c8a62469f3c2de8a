// What the benchmarks share: their clock, percentiles, and the baseline every result is compared
// with, one plain copy of a 1280 x 720 BGRA frame measured in the same run.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

namespace orlenta::bench {

using Clock = std::chrono::steady_clock;

inline double milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The value at fraction p (0..1) of the sorted values, nearest rank; 0 for none.
inline double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(
        values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5));
    return values[index];
}

// The median time of one plain copy of a 1280 x 720 BGRA frame.
inline double baselineCopyMilliseconds() {
    std::vector<uint8_t> from(1280 * 720 * 4, 7);
    std::vector<uint8_t> to(from.size());
    std::vector<double> times;
    for (int i = 0; i < 200; ++i) {
        const auto start = Clock::now();
        std::memcpy(to.data(), from.data(), from.size());
        times.push_back(milliseconds(Clock::now() - start));
        // Feed the copy back so that it cannot be left out.
        from[static_cast<size_t>(i)] = to[static_cast<size_t>(i) + 1];
    }
    return percentile(times, 0.5);
}

} // namespace orlenta::bench
