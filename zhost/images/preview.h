// 8-bit preview pictures: false-colour depth with a legend of the near and far
// depths, the colour of an RGBA layer, and a contact sheet of several frames.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include "host/image.h"
#include "zhost/images/image_io.h"

namespace zhost {

// Depths at or above this count as the background in depth previews unless
// --far says otherwise: renderers put their empty background there or
// farther (1e10 and beyond, or infinity).
constexpr float DEFAULT_BACKGROUND_DEPTH = 1e10f;

// How depths map to false colour: `near` to `far` (linearly, or on a log
// scale), nearer and farther depths clamped to the ends; depths at or above
// `background`, infinities and NaN are background.
struct DepthRange {
    float near = 0;
    float far = 0;
    float background = INFINITY;
    bool log = false;
    bool empty = true;  // no depth below the background
};

// The range of the depths below `background` (finite ones only), from the
// 1st to the 99th percentile so that a few stray depths do not flatten the
// rest. Large images are sampled (about a million depths).
DepthRange depth_range(const host::Image& depth, float background = INFINITY);

// The smallest range that holds both `a` and `b` (an empty one adds
// nothing), with `a`'s background and scale.
DepthRange covering(const DepthRange& a, const DepthRange& b);

// Height of the legend strip that depth_preview adds below the picture.
constexpr int32_t LEGEND_HEIGHT = 40;

// False-colour RGB picture of a one-channel depth image: yellow for `range.near`
// through red and purple to dark blue for `range.far`; the background dark
// grey. With `legend`, a strip below shows the colour bar and the near and
// far values.
Picture depth_preview(const host::Image& depth, const DepthRange& range, bool legend = true);

// 8-bit picture of RGBA colour for display: the sRGB transfer through
// OpenImageIO's colour conversion from `colour_space` (empty: scene-linear).
// Premultiplied colour is divided by its alpha first when the picture keeps
// alpha (four `channels`); with three the colour stays as it is, over black.
Picture display_picture(const host::Image& rgba, bool premultiplied, const std::string& colour_space,
                        int32_t channels);

// RGBA picture of a four-channel image of straight linear colour, encoded
// as sRGB for display. Alpha is kept.
Picture colour_preview(const host::Image& rgba);

// One 8-bit sample of a value from 0 to 1: clamped and rounded; NaN gives 0.
uint8_t to_unorm8(float value);

// Thumbnails of the pictures (each over a dark grey background, labelled with
// its entry of `labels`) in a grid of `columns` columns, each thumbnail
// `thumb_width` pixels wide with the first picture's proportions.
Picture contact_sheet(const std::vector<Picture>& pictures, const std::vector<std::string>& labels, int32_t columns,
                      int32_t thumb_width);

// Draws text with its top-left corner at (x, y), in a font `size` pixels high,
// in the colour `rgb`, clipped to the picture: with OpenImageIO's font
// renderer when a font is at hand, else with a built-in digit font (digits,
// '.', '-', '+', 'e' and blanks). `builtin` forces the built-in font.
void draw_text(Picture& picture, int32_t x, int32_t y, const std::string& text, int32_t size,
               const uint8_t (&rgb)[3], bool builtin = false);

// Width in pixels that draw_text takes for `text`.
int32_t text_width(const std::string& text, int32_t size, bool builtin = false);

}  // namespace zhost
