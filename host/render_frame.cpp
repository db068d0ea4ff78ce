#include "host/render_frame.h"

#include <limits>
#include <string>

#include "host/module_host.h"

namespace host {
namespace {

std::size_t checked_pixel_count(int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) {
        throw HostError("frame size " + std::to_string(width) + " x " + std::to_string(height) + " is not positive");
    }
    const auto w = static_cast<std::size_t>(width);
    const auto h = static_cast<std::size_t>(height);
    if (w > std::numeric_limits<std::size_t>::max() / sizeof(float) / h) {
        throw HostError("frame size " + std::to_string(width) + " x " + std::to_string(height) + " is too large");
    }
    return w * h;
}

std::size_t slot_of(int32_t buffer) {
    for (std::size_t slot = 0; slot < RenderFrame::BUFFERS.size(); ++slot) {
        if (RenderFrame::BUFFERS[slot] == buffer) return slot;
    }
    throw HostError("render buffer " + std::to_string(buffer) + " is not held by the frame");
}

}  // namespace

RenderFrame::RenderFrame(int32_t width, int32_t height)
    : width_(width), height_(height), pixel_count_(checked_pixel_count(width, height)) {
    for (auto& plane : planes_) plane.assign(pixel_count_, 0.0f);
    point_table();
}

RenderFrame::RenderFrame(const RenderFrame& other)
    : width_(other.width_), height_(other.height_), pixel_count_(other.pixel_count_), planes_(other.planes_) {
    point_table();
}

RenderFrame& RenderFrame::operator=(const RenderFrame& other) {
    width_ = other.width_;
    height_ = other.height_;
    pixel_count_ = other.pixel_count_;
    planes_ = other.planes_;
    point_table();
    return *this;
}

void RenderFrame::point_table() {
    table_.fill(nullptr);
    for (std::size_t slot = 0; slot < BUFFERS.size(); ++slot) table_[BUFFERS[slot]] = planes_[slot].data();
}

float* RenderFrame::plane(int32_t buffer) { return planes_[slot_of(buffer)].data(); }

const float* RenderFrame::plane(int32_t buffer) const { return planes_[slot_of(buffer)].data(); }

std::size_t RenderFrame::offset(int32_t x, int32_t y) const {
    if (x < 0 || x >= width_ || y < 0 || y >= height_) {
        throw HostError("pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") is outside the frame");
    }
    return static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x);
}

float& RenderFrame::at(int32_t buffer, int32_t x, int32_t y) { return plane(buffer)[offset(x, y)]; }

float RenderFrame::at(int32_t buffer, int32_t x, int32_t y) const { return plane(buffer)[offset(x, y)]; }

}  // namespace host
