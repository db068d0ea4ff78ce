// Reading and writing images with OpenImageIO, into and out of host::Image
// (reading in image_read.h). Every output goes to a hidden file beside its
// destination and is moved into place only when complete (zhost/files/staging.h),
// so a failure leaves no partial file.
#pragma once

#include <OpenImageIO/imageio.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/image.h"
#include "zhost/files/staging.h"
#include "zhost/images/image_read.h"

namespace zhost {

// Settings of an output that follows the render it comes from: the stored
// type of each channel, the compression and the metadata.
struct OutputSettings {
    std::vector<OIIO::TypeDesc> types;  // per channel; empty: 32-bit float for all
    std::string compression;            // for EXR and TIFF; one the format lacks: zip
    OIIO::ParamValueList metadata;      // attributes kept from the render
    std::string colour_space;           // of the colour values; empty: scene-linear
    std::vector<std::string> names;     // of a frame's R, G, B, A and Z; empty: those
    std::optional<Window> data;         // where the pixels lie; none: at 0,0
    std::optional<Window> display;      // the display window; none: the pixels'
    std::string history;                // the command line that writes it; empty: none
};

// The settings of an output that follows `render`: its metadata (camera
// matrices, frame, the renderer's attributes; not the attributes of its
// file format), its windows and channel names, its compression unless
// `compression` names one, and its channel types (half stays half,
// anything else becomes float) unless `data_type` ("float" or "half")
// names one for all.
OutputSettings follow_render(const ImageSource& render, const std::string& data_type, const std::string& compression);

// Throws UsageError unless `compression` is empty or one that the format
// of `path` writes (EXR: none, rle, zip, zips, piz, pxr24, b44, b44a, dwaa,
// dwab; TIFF: none, lzw, zip, packbits), with an optional ":LEVEL".
void check_compression(const std::string& path, const std::string& compression);

// Every file written through OpenImageIO names zhost and its version as its
// Software and adds the settings' `history`, when given, as a line of its
// ImageHistory (after the history of the render it follows), as oiiotool does.

// The extension of `path` in lower case, dot included (".exr"), or empty.
std::string extension_of(const std::string& path);

// True when OpenImageIO writes `path` (by its extension) and the format keeps
// 32-bit floats bit for bit: OpenEXR, TIFF and PFM.
bool keeps_floats(const std::string& path);

// True for formats that hold floats: those that keep them bit for bit and
// Radiance HDR (RGB, 8-bit mantissas). Other formats get 8-bit pictures.
bool holds_floats(const std::string& path);

// Writes a float image with the given channel names (one per channel of
// `image`). EXR and TIFF are written through OpenImageIO with the types,
// compression and metadata of `settings`; PFM (one or three channels) is
// written directly. Throws zhost::Error for formats that do not keep floats
// and for unwritable paths.
void write_float_image(const std::string& path, const host::Image& image, const std::vector<std::string>& names,
                       const OutputSettings& settings = {});

// Writes a float image of `width` x `height` pixels and the channels
// `names` as write_float_image does, from rows that `fill_rows(y0, y1,
// band)` puts into `band` (the rows [y0, y1), channels interleaved) one band
// after another, so that no interleaved copy of the whole image is made. Not
// for PFM.
using RowFiller = std::function<void(int32_t y0, int32_t y1, float* band)>;
void write_float_rows(const std::string& path, int32_t width, int32_t height, const std::vector<std::string>& names,
                      const OutputSettings& settings, const RowFiller& fill_rows);

// Writes rows as write_float_rows does, followed by the channels of
// `stored` (over the same pixels) in their stored types where the format
// keeps them (EXR), as floats elsewhere; `settings.types` gives the types
// of the float channels, or of all channels.
void write_rows_with_stored(const std::string& path, int32_t width, int32_t height,
                            const std::vector<std::string>& names, const OutputSettings& settings,
                            const RowFiller& fill_rows, const StoredChannels& stored);

// One sample converted from `from_type` to `to_type` by its number (not
// scaled as a fraction of an integer type's range).
void convert_sample(OIIO::TypeDesc from_type, const void* from, OIIO::TypeDesc to_type, void* to);

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

// Writes an 8-bit picture of display colour, tagged sRGB, in any format
// OpenImageIO writes (PNG for previews), with the settings' metadata and
// history.
void write_picture(const std::string& path, const Picture& picture, const OutputSettings& settings = {});

}  // namespace zhost
