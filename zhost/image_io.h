// Reading and writing images with OpenImageIO, into and out of host::Image.
// Every output goes to a hidden file beside its destination and is moved
// into place only when complete (zhost/staging.h), so a failure leaves no
// partial file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/image.h"
#include "zhost/staging.h"

namespace zhost {

// Reads the named channels of the image file, in the order given. Throws
// zhost::Error with a one-line reason for a missing or unreadable file or a
// channel the file does not have (the reason lists the channels it has).
host::Image read_channels(const std::string& path, const std::vector<std::string>& channels);

// Reads the depth plane of an image file as a one-channel image: the channel
// `channel` when given; otherwise the "Z" channel, or the only channel of a
// one-channel image.
host::Image read_depth(const std::string& path, const std::string& channel = "");

// Reads an image as RGBA: R, G and B (a one-channel image is taken as grey),
// and A, or 1.0 where the file has no alpha.
host::Image read_rgba(const std::string& path);

// Both of the above from one read of the file.
struct RgbaAndDepth {
    host::Image rgba;
    host::Image depth;
};
RgbaAndDepth read_rgba_and_depth(const std::string& path);

// The channel names of an image file, in file order.
std::vector<std::string> channel_names(const std::string& path);

// The extension of `path` in lower case, dot included (".exr"), or empty.
std::string extension_of(const std::string& path);

// True when OpenImageIO writes `path` (by its extension) and the format keeps
// 32-bit floats bit for bit: OpenEXR, TIFF and PFM.
bool keeps_floats(const std::string& path);

// Writes a float image with the given channel names (one per channel of
// `image`). EXR and TIFF are written through OpenImageIO as 32-bit floats; PFM
// (one or three channels) is written directly. Throws zhost::Error for
// formats that do not keep floats and for unwritable paths.
void write_float_image(const std::string& path, const host::Image& image, const std::vector<std::string>& names);

// An 8-bit picture, channels interleaved, rows from the top; with four
// channels the colour is straight, not premultiplied by alpha.
struct Picture {
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 0;
    std::vector<uint8_t> pixels;

    std::size_t index(int32_t x, int32_t y, int32_t channel = 0) const {
        return (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) *
                   static_cast<std::size_t>(channels) + static_cast<std::size_t>(channel);
    }
};

// Writes an 8-bit picture in any format OpenImageIO writes (PNG for previews).
void write_picture(const std::string& path, const Picture& picture);

}  // namespace zhost
