#include "host/frame.h"

#include <limits>
#include <new>
#include <string>

#include "host/module_host.h"
#include "host/platform.h"

namespace host {

Frame::Frame(int32_t width, int32_t height, int32_t number, std::span<const int32_t> buffers)
    : width_(width), height_(height), number_(number), line_length_(0) {
    if (width < 0 || height < 0) {
        throw HostError("frame size " + std::to_string(width) + " x " + std::to_string(height) +
                        " is negative");
    }
    line_length_ = static_cast<std::size_t>(width);
    for (int32_t buffer : buffers) add(buffer);
}

int Frame::slot(int32_t buffer) {
    for (std::size_t i = 0; i < ALL_BUFFERS.size(); ++i) {
        if (ALL_BUFFERS[i] == buffer) return static_cast<int>(i);
    }
    return -1;
}

bool Frame::has(int32_t buffer) const {
    const int i = slot(buffer);
    return i >= 0 && held_[i];
}

void Frame::add(int32_t buffer) {
    const int i = slot(buffer);
    if (i < 0) throw HostError("a frame holds no render buffer " + std::to_string(buffer));
    if (held_[i]) return;
    const std::size_t rows = static_cast<std::size_t>(height_);
    if (line_length_ != 0 && rows > std::numeric_limits<std::size_t>::max() / sizeof(float) / line_length_) {
        throw HostError("frame of " + std::to_string(width_) + " x " + std::to_string(height_) +
                        " is too large");
    }
    try {
        buffers_[i].resize(line_length_ * rows);
        platform::advise_huge_pages(buffers_[i].data(), buffers_[i].size() * sizeof(float));
    } catch (const std::bad_alloc&) {
        throw HostError("out of memory for a frame of " + std::to_string(width_) + " x " +
                        std::to_string(height_));
    }
    held_[i] = true;
}

void Frame::remove(int32_t buffer) {
    const int i = slot(buffer);
    if (i < 0) return;
    held_[i] = false;
    buffers_[i] = {};
}

std::span<float> Frame::samples(int32_t buffer) {
    if (!has(buffer)) throw HostError("the frame holds no render buffer " + std::to_string(buffer));
    return buffers_[slot(buffer)];
}

std::span<const float> Frame::samples(int32_t buffer) const {
    if (!has(buffer)) throw HostError("the frame holds no render buffer " + std::to_string(buffer));
    return buffers_[slot(buffer)];
}

float* Frame::line(int32_t buffer, int32_t row) {
    return const_cast<float*>(static_cast<const Frame&>(*this).line(buffer, row));
}

const float* Frame::line(int32_t buffer, int32_t row) const {
    const int i = slot(buffer);
    if (i < 0 || !held_[i] || row < 0 || row >= height_) return nullptr;
    // Rows of a frame without columns exist but hold nothing.
    static const float no_samples[1] = {};
    if (line_length_ == 0) return no_samples;
    return buffers_[i].data() + static_cast<std::size_t>(row) * line_length_;
}

}  // namespace host
