// An image held by the host in memory: float samples, rows from the top,
// channels interleaved (1 for greyscale, 3 for RGB, 4 for RGBA).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace host {

struct Image {
    std::string name;
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 0;
    std::vector<float> pixels;

    std::size_t index(int32_t x, int32_t y, int32_t channel = 0) const {
        return (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                static_cast<std::size_t>(x)) * static_cast<std::size_t>(channels) +
               static_cast<std::size_t>(channel);
    }
    float at(int32_t x, int32_t y, int32_t channel = 0) const { return pixels[index(x, y, channel)]; }
};

}  // namespace host
