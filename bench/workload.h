// Inputs and reference loops for the benchmarks: a rendered frame, a depth
// image and a composite image that cross it (about half the pixels nearer),
// and the plain-array loops that bound what the plug-in path can reach.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "host/frame.h"
#include "host/image.h"

namespace bench {

// A frame of every render buffer: smooth colour, alpha, and a depth surface
// that undulates across the frame.
host::Frame make_render_frame(int32_t width, int32_t height);

// A one-channel depth image of the frame's size, nearer than the frame's
// depth on about half of the pixels, in broad regions as real layers are.
host::Image make_depth_image(int32_t width, int32_t height);

// An RGBA image of the frame's size to composite in.
host::Image make_comp_image(int32_t width, int32_t height);

// Share of pixels where the depth image is strictly nearer than the frame.
double nearer_share(const host::Frame& frame, const host::Image& depth);

// The compositing rule on plain arrays, in place on the frame's planes:
// where the depth image is not at or behind the rendered depth, red, green
// and blue come from the composite image and the depth from the depth image.
struct PlainPlanes {
    float* red;
    float* green;
    float* blue;
    float* depth;
    const float* depth_image;  // one float per pixel
    const float* comp_rgba;    // four floats per pixel
};
void fused_composite(const PlainPlanes& planes, std::size_t first, std::size_t end);

// Runs fused_composite over all pixels, rows split into contiguous blocks
// over `threads` threads as the host splits them.
void fused_composite_threads(const PlainPlanes& planes, int32_t width, int32_t height, int threads);

// Copies every buffer of `from` into `to` (same size and buffers).
void restore_frame(const host::Frame& from, host::Frame& to);

// A directory of its own under the system's temporary directory, removed
// with everything in it when the object goes.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

}  // namespace bench
