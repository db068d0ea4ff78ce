#include "bench/workload.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "module/host_interface.h"

namespace bench {
namespace {

float rendered_depth(int32_t x, int32_t y) {
    return 20.0f + 6.0f * std::sin(float(x) * 0.0041f) * std::cos(float(y) * 0.0067f);
}

// Crosses the rendered surface along wavy borders, so that the nearer part
// is about half of the frame and comes in broad regions.
float image_depth(int32_t x, int32_t y) {
    return 20.0f + 6.0f * std::cos(float(x) * 0.0029f + 0.7f) * std::sin(float(y) * 0.0053f + 0.3f);
}

}  // namespace

host::Frame make_render_frame(int32_t width, int32_t height) {
    host::Frame frame(width, height, 1);
    for (int32_t y = 0; y < height; ++y) {
        float* red = frame.line(BUF_RED, y);
        float* green = frame.line(BUF_GREEN, y);
        float* blue = frame.line(BUF_BLUE, y);
        float* alpha = frame.line(BUF_ALPHA, y);
        float* depth = frame.line(BUF_DEPTH, y);
        for (int32_t x = 0; x < width; ++x) {
            red[x] = float(x % 256) / 255.0f;
            green[x] = float(y % 256) / 255.0f;
            blue[x] = 0.5f;
            alpha[x] = (x + y) % 7 == 0 ? 0.0f : 1.0f;
            depth[x] = rendered_depth(x, y);
        }
    }
    return frame;
}

host::Image make_depth_image(int32_t width, int32_t height) {
    host::Image image{"bench-depth", width, height, 1, {}};
    image.pixels.resize(std::size_t(width) * std::size_t(height));
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) image.pixels[image.index(x, y)] = image_depth(x, y);
    return image;
}

host::Image make_comp_image(int32_t width, int32_t height) {
    host::Image image{"bench-comp", width, height, 4, {}};
    image.pixels.resize(std::size_t(width) * std::size_t(height) * 4);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            float* pixel = &image.pixels[image.index(x, y)];
            pixel[0] = 0.9f;
            pixel[1] = float((x + y) % 128) / 127.0f;
            pixel[2] = 0.1f;
            pixel[3] = 1.0f;
        }
    }
    return image;
}

double nearer_share(const host::Frame& frame, const host::Image& depth) {
    const std::span<const float> rendered = frame.samples(BUF_DEPTH);
    std::size_t nearer = 0;
    for (std::size_t i = 0; i < rendered.size(); ++i) nearer += depth.pixels[i] < rendered[i] ? 1 : 0;
    return rendered.empty() ? 0.0 : double(nearer) / double(rendered.size());
}

void fused_composite(const PlainPlanes& p, std::size_t first, std::size_t end) {
    for (std::size_t i = first; i < end; ++i) {
        const float sample = p.depth_image[i];
        if (!(sample >= p.depth[i])) {
            const float* rgba = p.comp_rgba + 4 * i;
            p.red[i] = rgba[0];
            p.green[i] = rgba[1];
            p.blue[i] = rgba[2];
            p.depth[i] = sample;
        }
    }
}

void fused_composite_threads(const PlainPlanes& planes, int32_t width, int32_t height, int threads) {
    const int blocks = std::clamp(threads, 1, std::max(1, int(height)));
    auto block_start = [&](int block) {
        return std::size_t(int64_t{height} * block / blocks) * std::size_t(width);
    };
    std::vector<std::jthread> workers;
    for (int block = 1; block < blocks; ++block) {
        workers.emplace_back(fused_composite, std::cref(planes), block_start(block), block_start(block + 1));
    }
    fused_composite(planes, 0, block_start(1));
}

void restore_frame(const host::Frame& from, host::Frame& to) {
    for (int32_t buffer : host::Frame::ALL_BUFFERS) {
        if (!from.has(buffer)) continue;
        const std::span<const float> source = from.samples(buffer);
        std::copy(source.begin(), source.end(), to.samples(buffer).begin());
    }
}

ScratchDir::ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zbench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a scratch directory in /tmp");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace bench
