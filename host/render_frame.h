// A rendered frame as a renderer's filters see it: one plane of 32-bit floats
// per render buffer (red, green, blue, alpha and depth), rows from the top.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "module/host_interface.h"

namespace host {

class RenderFrame {
public:
    // Buffer numbers are below this bound; the plane table is indexed by them.
    static constexpr int32_t BUFFER_LIMIT = 36;
    static constexpr std::array<int32_t, 5> BUFFERS = {BUF_RED, BUF_GREEN, BUF_BLUE, BUF_ALPHA, BUF_DEPTH};

    // All planes zero. Throws HostError when a size is not positive or the
    // planes cannot be addressed.
    RenderFrame(int32_t width, int32_t height);
    RenderFrame(const RenderFrame& other);
    RenderFrame& operator=(const RenderFrame& other);

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    std::size_t pixel_count() const { return pixel_count_; }

    // The plane of a held buffer; throws HostError for any other number.
    float* plane(int32_t buffer);
    const float* plane(int32_t buffer) const;
    // One sample; throws HostError for a pixel outside the frame.
    float& at(int32_t buffer, int32_t x, int32_t y);
    float at(int32_t buffer, int32_t x, int32_t y) const;

    // Plane pointers indexed by buffer number, null where no buffer is held.
    // For per-pixel code: no lookup, no check beyond the bound.
    const std::array<float*, BUFFER_LIMIT>& plane_table() { return table_; }

private:
    void point_table();
    std::size_t offset(int32_t x, int32_t y) const;

    int32_t width_;
    int32_t height_;
    std::size_t pixel_count_;
    std::array<std::vector<float>, BUFFERS.size()> planes_;
    std::array<float*, BUFFER_LIMIT> table_{};
};

}  // namespace host
