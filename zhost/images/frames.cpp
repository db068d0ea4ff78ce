#include "zhost/images/frames.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <array>
#include <thread>

#include <OpenImageIO/imageio.h>

#include "zhost/images/image_io.h"
#include "zhost/images/preview.h"
#include "zhost/text/error.h"

namespace zhost {
namespace {

constexpr std::array<int32_t, 3> RGB_BUFFERS = {BUF_RED, BUF_GREEN, BUF_BLUE};
constexpr std::array<int32_t, 5> RGBAZ_BUFFERS = {BUF_RED, BUF_GREEN, BUF_BLUE, BUF_ALPHA, BUF_DEPTH};

// 8-bit formats: straight alpha where the format has alpha, else the colour
// over black as rendered.
void write_frame_picture(const std::string& path, const host::Image& rgba, const OutputSettings& settings) {
    const auto output = OIIO::ImageOutput::create(path);
    const int32_t channels = output && output->supports("alpha") ? 4 : 3;
    write_picture(path, display_picture(rgba, true, settings.colour_space, channels), settings);
}

// Writes the buffers of a frame as the channels `names`, interleaving them
// a band of rows at a time.
// With `stored` channels, those follow in their stored types.
void write_frame_rows(const std::string& path, const host::Frame& frame, std::span<const int32_t> buffers,
                      const std::vector<std::string>& names, const OutputSettings& settings,
                      const StoredChannels* stored = nullptr) {
    std::vector<const float*> planes;
    for (int32_t buffer : buffers) planes.push_back(frame.samples(buffer).data());
    const std::size_t width = std::size_t(frame.width()), channels = planes.size();
    const RowFiller fill = [&](int32_t y0, int32_t y1, float* band) {
        const std::size_t first = std::size_t(y0) * width, end = std::size_t(y1) * width;
        for (std::size_t c = 0; c < channels; ++c) {
            const float* plane = planes[c];
            for (std::size_t i = first; i < end; ++i) band[(i - first) * channels + c] = plane[i];
        }
    };
    if (stored != nullptr && !stored->names.empty()) {
        write_rows_with_stored(path, frame.width(), frame.height(), names, settings, fill, *stored);
    } else {
        write_float_rows(path, frame.width(), frame.height(), names, settings, fill);
    }
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

void write_frame_image(const std::string& path, const host::Frame& frame, const OutputSettings& settings,
                       const StoredChannels* other_channels, HeldImages* account) {
    const std::string extension = extension_of(path);
    if (extension == ".pfm") throw Error(path + ": PFM holds no alpha; write .exr or .tif");
    if (!holds_floats(path)) {
        write_frame_picture(path, frame_rgba(frame, account), settings);
    } else if (extension == ".hdr") {
        OutputSettings rgb = settings;
        rgb.types.clear();
        write_frame_rows(path, frame, RGB_BUFFERS, {"R", "G", "B"}, rgb);
    } else {
        const std::vector<std::string> names =
            settings.names.size() == RGBAZ_BUFFERS.size() ? settings.names : std::vector<std::string>{"R", "G", "B", "A", "Z"};
        write_frame_rows(path, frame, RGBAZ_BUFFERS, names, settings, other_channels);
    }
}

void check_same_size(const host::Image& reference, const host::Image& image) {
    if (reference.width == image.width && reference.height == image.height) return;
    throw Error(image.name + ": size " + size_text(image.width, image.height) + " differs from " +
                size_text(reference.width, reference.height) + " of " + reference.name);
}

host::Frame make_frame(const host::Image& depth, const host::Image* rgba, int32_t number, HeldImages* account) {
    constexpr std::array<int32_t, 1> DEPTH_ONLY = {BUF_DEPTH};
    const std::size_t buffers = rgba != nullptr ? host::Frame::ALL_BUFFERS.size() : DEPTH_ONLY.size();
    hold_image_bytes(account, depth.name, uint64_t(depth.width) * uint64_t(depth.height) * buffers * sizeof(float));
    host::Frame frame(depth.width, depth.height, number,
                      rgba != nullptr ? std::span<const int32_t>(host::Frame::ALL_BUFFERS) : DEPTH_ONLY);
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

host::Image frame_rgba(const host::Frame& frame, HeldImages* account) {
    return frame_channels(frame, host::Frame::COLOUR_BUFFERS, account);
}

host::Image frame_depth(const host::Frame& frame, HeldImages* account) {
    constexpr std::array<int32_t, 1> DEPTH = {BUF_DEPTH};
    return frame_channels(frame, DEPTH, account);
}

}  // namespace zhost
