// Media time: rational time values and the host clock.
//
// Time is value / timescale seconds, or the invalid time. 1/30 s is {1, 30}. The host clock is
// CLOCK_MONOTONIC, which every process of the machine shares, so a time stamped in the app can be
// compared with the daemon's clock.
//
// All functions are pure or read only the clock; safe from any thread.
#pragma once

#include <cstdint>

namespace orlenta {

struct Time {
    int64_t value = 0;
    int32_t timescale = 0; // > 0 for a valid time
    bool valid = false;

    static constexpr Time invalid() { return {}; }
    static constexpr Time make(int64_t value, int32_t timescale) {
        return timescale > 0 ? Time{value, timescale, true} : Time{};
    }
    // The nearest time in the given timescale (nanoseconds by default). Invalid for NaN or
    // infinite seconds, values out of range, or a timescale that is not positive.
    static Time fromSeconds(double seconds, int32_t timescale = 1'000'000'000);

    bool isValid() const { return valid && timescale > 0; }
    // NaN for the invalid time.
    double seconds() const;

    // Value comparison across timescales; an invalid time is equal only to another invalid time.
    friend bool operator==(const Time& a, const Time& b);
};

// Seconds to nanoseconds: multiplied by 1 000 000 000 and truncated toward zero; 0 for NaN and
// saturated at the int64 limits.
int64_t secondsToNanoseconds(double seconds);

// The host clock now, as a time with a nanosecond timescale.
Time hostClockTime();
// The same clock in seconds.
double currentMediaTime();

} // namespace orlenta
