// What the saver computes from a frame's depths: the header's depth range,
// and the big-endian rows of the body.
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "zsave/zsave.h"

namespace {

constexpr int32_t BLOCK = 16;
constexpr int32_t LANES = 4;

// The extremes of a block of BLOCK depths when every one of them lies below
// `background` and is not zero; false otherwise (a NaN included).
#if defined(__SSE2__)
bool block_extremes(const float* depths, float background_depth, float& low, float& high) {
    const __m128 background = _mm_set1_ps(background_depth);
    const __m128 zero = _mm_setzero_ps();
    __m128 lows = _mm_loadu_ps(depths);
    __m128 highs = lows;
    __m128 plain = _mm_and_ps(_mm_cmplt_ps(lows, background), _mm_cmpneq_ps(lows, zero));
    for (int32_t i = LANES; i < BLOCK; i += LANES) {
        const __m128 v = _mm_loadu_ps(depths + i);
        plain = _mm_and_ps(plain, _mm_and_ps(_mm_cmplt_ps(v, background), _mm_cmpneq_ps(v, zero)));
        lows = _mm_min_ps(v, lows);
        highs = _mm_max_ps(v, highs);
    }
    if (_mm_movemask_ps(plain) != 0xF) return false;
    lows = _mm_min_ps(lows, _mm_movehl_ps(lows, lows));
    highs = _mm_max_ps(highs, _mm_movehl_ps(highs, highs));
    low = _mm_cvtss_f32(_mm_min_ss(lows, _mm_shuffle_ps(lows, lows, 1)));
    high = _mm_cvtss_f32(_mm_max_ss(highs, _mm_shuffle_ps(highs, highs, 1)));
    return true;
}
#else
bool block_extremes(const float* depths, float background_depth, float& low, float& high) {
    float lows[LANES], highs[LANES];
    bool odd = false;
    for (int32_t k = 0; k < LANES; ++k) lows[k] = highs[k] = depths[k];
    for (int32_t i = 0; i < BLOCK; i += LANES) {
        for (int32_t k = 0; k < LANES; ++k) {
            const float v = depths[i + k];
            lows[k] = v < lows[k] ? v : lows[k];
            highs[k] = v > highs[k] ? v : highs[k];
            odd |= !(v < background_depth) || v == 0.0f;
        }
    }
    if (odd) return false;
    low = lows[0];
    high = highs[0];
    for (int32_t k = 1; k < LANES; ++k) {
        low = lows[k] < low ? lows[k] : low;
        high = highs[k] > high ? highs[k] : high;
    }
    return true;
}
#endif

}  // namespace

ZBufHeader zsave_default_header() {
    ZBufHeader header{};
    header.value_type = ZBUF_FLOAT32;
    header.compression = 0;
    header.ordering = 0;
    header.units = 2;
    header.scale = 1.0f;
    header.offset = 0.0f;
    return header;
}

// `max_depth` takes only a depth below the largest seen so far, so a depth
// that raises `background_depth` never enters it. NaN depths carry no
// distance and take no part.
void ZSaveDepthRange::take(float depth) {
    if (std::isnan(depth)) return;
    if (depth < min_depth_) min_depth_ = depth;
    if (depth > background_depth_) background_depth_ = depth;
    if (depth > max_depth_ && depth < background_depth_) max_depth_ = depth;
}

// Takes a block of BLOCK depths at once when every one of them lies below
// `background_depth`: then none raises it, each is a candidate for
// `max_depth`, and both extremes are those of the block. False, with
// nothing taken, when a depth is not below it (or is a NaN), or is a zero:
// of equal depths the first one counts, which matters only for zeros of
// either sign, so those blocks go depth by depth.
bool ZSaveDepthRange::take_block(const float* depths) {
    float low = 0, high = 0;
    if (!block_extremes(depths, background_depth_, low, high)) return false;
    if (low < min_depth_) min_depth_ = low;
    if (high > max_depth_) max_depth_ = high;
    return true;
}

// Blocks that cannot change `background_depth` are taken whole, without a
// chain of comparisons from each depth to the next; the result is the same
// bit for bit.
void ZSaveDepthRange::take_row(const float* depths, int32_t width) {
    int32_t x = 0;
    for (; x + BLOCK <= width; x += BLOCK) {
        if (!take_block(depths + x)) {
            for (int32_t i = 0; i < BLOCK; ++i) take(depths[x + i]);
        }
    }
    for (; x < width; ++x) take(depths[x]);
}

void ZSaveDepthRange::store(ZBufHeader& header) const {
    header.min_depth = min_depth_;
    header.max_depth = max_depth_;
    header.background_depth = background_depth_;
}

void zsave_encode_row(const float* depths, int32_t width, uint32_t sample_size, void* row) {
    if (sample_size == sizeof(double)) {
        auto* samples = static_cast<double*>(row);
        for (int32_t x = 0; x < width; ++x) samples[x] = depths[x];
    } else {
        std::memcpy(row, depths, static_cast<std::size_t>(width) * sizeof(float));
    }
    swap_bytes(row, static_cast<int32_t>(sample_size), width);
}
