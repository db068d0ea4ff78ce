#include "zhost/frames.h"

#include <algorithm>
#include <thread>

#include <OpenImageIO/imageio.h>

#include "zhost/error.h"
#include "zhost/image_io.h"
#include "zhost/preview.h"

namespace zhost {
namespace {

std::string size_text(const host::Image& image) {
    return std::to_string(image.width) + "x" + std::to_string(image.height);
}

}  // namespace

int worker_count(int asked, int64_t jobs) {
    const int machine = int(std::max(1u, std::thread::hardware_concurrency()));
    return int(std::clamp<int64_t>(asked > 0 ? asked : machine, 1, std::max<int64_t>(jobs, 1)));
}

void use_image_threads(int asked) {
    const int threads = worker_count(asked, 1 << 16);
    OIIO::attribute("threads", threads);
    OIIO::attribute("exr_threads", threads);  // OpenEXR's own pool
}

void write_frame_image(const std::string& path, const host::Frame& frame) {
    const host::Image rgba = frame_rgba(frame);
    const std::string extension = extension_of(path);
    if (extension == ".pfm") throw Error(path + ": PFM holds no alpha; write .exr or .tif");
    if (!keeps_floats(path)) {
        write_picture(path, colour_preview(rgba, false));
        return;
    }
    host::Image out;
    out.width = frame.width();
    out.height = frame.height();
    out.channels = 5;
    out.pixels.reserve(rgba.pixels.size() / 4 * 5);
    std::span<const float> z = frame.samples(BUF_DEPTH);
    for (std::size_t i = 0; i < z.size(); ++i) {
        out.pixels.insert(out.pixels.end(), &rgba.pixels[i * 4], &rgba.pixels[i * 4 + 4]);
        out.pixels.push_back(z[i]);
    }
    write_float_image(path, out, {"R", "G", "B", "A", "Z"});
}

void check_same_size(const host::Image& reference, const host::Image& image) {
    if (reference.width == image.width && reference.height == image.height) return;
    throw Error(image.name + ": size " + size_text(image) + " differs from " + size_text(reference) + " of " +
                reference.name);
}

host::Frame make_frame(const host::Image& depth, const host::Image* rgba, int32_t number) {
    host::Frame frame(depth.width, depth.height, number);
    std::span<float> z = frame.samples(BUF_DEPTH);
    for (std::size_t i = 0; i < z.size(); ++i) z[i] = depth.pixels[i * std::size_t(depth.channels)];
    if (rgba == nullptr) return frame;
    check_same_size(depth, *rgba);
    for (int32_t c = 0; c < 4; ++c) {
        std::span<float> samples = frame.samples(host::Frame::COLOUR_BUFFERS[std::size_t(c)]);
        for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = rgba->pixels[i * 4 + std::size_t(c)];
    }
    return frame;
}

host::Image frame_rgba(const host::Frame& frame) {
    host::Image image;
    image.width = frame.width();
    image.height = frame.height();
    image.channels = 4;
    image.pixels.resize(std::size_t(frame.width()) * std::size_t(frame.height()) * 4);
    for (int32_t c = 0; c < 4; ++c) {
        std::span<const float> samples = frame.samples(host::Frame::COLOUR_BUFFERS[std::size_t(c)]);
        for (std::size_t i = 0; i < samples.size(); ++i) image.pixels[i * 4 + std::size_t(c)] = samples[i];
    }
    return image;
}

host::Image frame_depth(const host::Frame& frame) {
    host::Image image;
    image.width = frame.width();
    image.height = frame.height();
    image.channels = 1;
    std::span<const float> z = frame.samples(BUF_DEPTH);
    image.pixels.assign(z.begin(), z.end());
    return image;
}

}  // namespace zhost
