// A compositor instance of the real module in a host with an image list and
// scene information, plus images made from formulas and a single-pixel
// access that records what evaluate calls.
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

inline host::Image make_image(std::string name, int32_t width, int32_t height, int32_t channels,
                              const std::function<float(int32_t x, int32_t y, int32_t channel)>& sample) {
    host::Image image{std::move(name), width, height, channels, {}};
    image.pixels.reserve(static_cast<std::size_t>(width) * height * channels);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            for (int32_t c = 0; c < channels; ++c) image.pixels.push_back(sample(x, y, c));
    return image;
}

inline host::Image flat_image(std::string name, int32_t width, int32_t height, int32_t channels, float value) {
    return make_image(std::move(name), width, height, channels, [value](int32_t, int32_t, int32_t) { return value; });
}

inline uint32_t bits(float value) {
    uint32_t word;
    std::memcpy(&word, &value, sizeof word);
    return word;
}

// What one evaluate call did to its pixel.
struct PixelOutcome {
    float rgba[4];
    float depth;
    std::vector<std::string> calls;  // "get 32 4", "get 12 1", "set_rgba", "set 12 1", in order
};

// The pixel that a direct evaluate works on; one test thread at a time.
struct RecordedPixel {
    float rgba[4] = {};
    float depth = 0.0f;
    std::vector<std::string> calls;
};
inline RecordedPixel recorded_pixel;

inline void record_get(int32_t buffer, int32_t count, float* values) {
    recorded_pixel.calls.push_back("get " + std::to_string(buffer) + " " + std::to_string(count));
    for (int32_t i = 0; i < count; ++i) {
        const int32_t b = buffer + i;
        values[i] = b == BUF_DEPTH ? recorded_pixel.depth : b >= BUF_RED && b <= BUF_ALPHA ? recorded_pixel.rgba[b - BUF_RED] : -1.0f;
    }
}

inline void record_set_rgba(const float rgba[4]) {
    recorded_pixel.calls.push_back("set_rgba");
    std::memcpy(recorded_pixel.rgba, rgba, sizeof recorded_pixel.rgba);
}

inline void record_set(int32_t buffer, int32_t count, const float* values) {
    recorded_pixel.calls.push_back("set " + std::to_string(buffer) + " " + std::to_string(count));
    if (buffer == BUF_DEPTH && count == 1) recorded_pixel.depth = values[0];
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

    // Activates the handler again with whatever "LW Image List 3" the host
    // offers now; the module's image list follows that activation.
    int32_t activate_again() {
        InstanceOps ops{};
        RenderOps render{};
        PixelHandlerRecord record{&ops, nullptr, &render, nullptr, nullptr};
        return module->activate("PixelFilterHandler", "OBK_ZComp", &record);
    }

    // Evaluates one pixel at (x, y) of the instance directly.
    PixelOutcome evaluate_at(double x, double y, const float (&rgba)[4], float depth) {
        recorded_pixel = {};
        std::memcpy(recorded_pixel.rgba, rgba, sizeof rgba);
        recorded_pixel.depth = depth;
        PixelAccess access{};
        access.pixel_x = x;
        access.pixel_y = y;
        access.get_values = record_get;
        access.set_rgba = record_set_rgba;
        access.set_values = record_set;
        filter.record().evaluate(filter.instance().get(), &access);
        PixelOutcome outcome{};
        std::memcpy(outcome.rgba, recorded_pixel.rgba, sizeof outcome.rgba);
        outcome.depth = recorded_pixel.depth;
        outcome.calls = recorded_pixel.calls;
        return outcome;
    }
};

}  // namespace test
