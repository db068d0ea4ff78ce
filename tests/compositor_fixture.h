// A compositor instance of the real module in a host with an image list and
// scene information, images made from formulas, and a single-pixel access
// that records what evaluate calls.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/image_list.h"
#include "host/pixel_filter.h"
#include "host/scene_info.h"
#include "test_support.h"
#include "zcomp/zcomp.h"

namespace test {

using Sample = std::function<float(int32_t x, int32_t y, int32_t channel)>;

inline host::Image make_image(std::string name, int32_t width, int32_t height, int32_t channels, const Sample& sample) {
    host::Image image{std::move(name), width, height, channels, {}};
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            for (int32_t c = 0; c < channels; ++c) image.pixels.push_back(sample(x, y, c));
    return image;
}

inline uint32_t bits(float value) {
    uint32_t word;
    std::memcpy(&word, &value, sizeof word);
    return word;
}

// The pixel of a direct evaluate and the calls made on it, in order:
// "get 32 4", "get 12 1", "set_rgba", "set 12 1".
struct RecordedPixel {
    float rgba[4];
    float depth;
    std::vector<std::string> calls;
};
inline RecordedPixel pixel;

inline void record_get(int32_t buffer, int32_t count, float* values) {
    pixel.calls.push_back("get " + std::to_string(buffer) + " " + std::to_string(count));
    for (int32_t i = 0; i < count; ++i) values[i] = buffer + i == BUF_DEPTH ? pixel.depth : pixel.rgba[(buffer + i - BUF_RED) & 3];
}
inline void record_set_rgba(const float rgba[4]) {
    pixel.calls.push_back("set_rgba");
    std::memcpy(pixel.rgba, rgba, sizeof pixel.rgba);
}
inline void record_set(int32_t buffer, int32_t count, const float* values) {
    pixel.calls.push_back("set " + std::to_string(buffer) + " " + std::to_string(count));
    if (buffer == BUF_DEPTH) pixel.depth = values[0];
}

class CompositorTest : public ::testing::Test {
protected:
    std::unique_ptr<host::Module> module = host::Module::open(module_path());
    host::ImageList images;
    host::SceneInfo scene{640, 480};
    host::PixelFilter filter{*module, "OBK_ZComp"};

    ZCompInstance& state() { return *static_cast<ZCompInstance*>(filter.instance().get()); }

    void choose(ImageId depth, ImageId comp) {
        state().depth_image = depth;
        state().comp_image = comp;
    }

    // The list's image of that name, added when missing.
    ImageId image(const std::string& name, int32_t width = 1, int32_t height = 1, int32_t channels = 1,
                  const Sample& sample = [](int32_t, int32_t, int32_t) { return 0.0f; }) {
        const ImageId known = images.find(name);
        return known ? known : images.add(make_image(name, width, height, channels, sample));
    }

    // Activates the handler again; the module takes the image list offered now.
    int32_t activate_again() {
        InstanceOps ops{};
        RenderOps render{};
        PixelHandlerRecord record{&ops, nullptr, &render, nullptr, nullptr};
        return module->activate("PixelFilterHandler", "OBK_ZComp", &record);
    }

    RecordedPixel evaluate_at(double x, double y, const float (&rgba)[4], float depth) {
        pixel = {{rgba[0], rgba[1], rgba[2], rgba[3]}, depth, {}};
        PixelAccess access{x, y, record_get, record_set_rgba, record_set};
        filter.record().evaluate(filter.instance().get(), &access);
        return pixel;
    }
};

}  // namespace test
