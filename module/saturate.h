// The one conversion of possibly out-of-range floating-point values to
// 32-bit integers. A plain cast of NaN, an infinity or a value beyond the
// int32 range is undefined behaviour; this one is defined everywhere.
#pragma once

#include <cstdint>
#include <limits>

// Truncates toward zero; NaN gives 0, values beyond the range give
// INT32_MIN or INT32_MAX.
inline int32_t saturate_to_int32(double value) {
    constexpr double below_min = -2147483649.0;  // exactly representable
    constexpr double above_max = 2147483648.0;
    // In range first: one pair of comparisons on the common path; NaN fails both.
    if (value > below_min && value < above_max) return static_cast<int32_t>(value);
    if (value != value) return 0;
    if (value <= below_min) return std::numeric_limits<int32_t>::min();
    if (value >= above_max) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value);
}
