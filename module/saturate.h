// The one conversion of possibly out-of-range floating-point values to
// 32-bit integers. A plain cast of NaN, an infinity or a value beyond the
// int32 range is undefined behaviour; this one is defined everywhere.
#pragma once

#include <cstdint>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The rare inputs: NaN, values beyond the range and those that truncate to
// INT32_MIN.
[[gnu::cold, gnu::noinline]] inline int32_t saturate_to_int32_slow(double value) {
    constexpr double below_min = -2147483649.0;  // exactly representable
    constexpr double above_max = 2147483648.0;
    if (value != value) return 0;
    if (value <= below_min) return std::numeric_limits<int32_t>::min();
    if (value >= above_max) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value);
}

// Truncates toward zero; NaN gives 0, values beyond the range give
// INT32_MIN or INT32_MAX.
inline int32_t saturate_to_int32(double value) {
#if defined(__SSE2__)
    // The processor's truncation is defined for every input: NaN and values
    // beyond the range give INT32_MIN, so any other result is the answer.
    const int32_t truncated = _mm_cvttsd_si32(_mm_set_sd(value));
    if (truncated != std::numeric_limits<int32_t>::min()) return truncated;
    return saturate_to_int32_slow(value);
#else
    if (value > -2147483649.0 && value < 2147483648.0) return static_cast<int32_t>(value);
    return saturate_to_int32_slow(value);
#endif
}
