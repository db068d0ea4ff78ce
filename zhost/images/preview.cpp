#include "zhost/images/preview.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <algorithm>
#include <cstdio>

#include "zhost/text/error.h"
#include "zhost/text/one_line.h"

namespace zhost {
namespace {

constexpr const char* FONT = "DejaVuSans";
constexpr uint8_t BACKGROUND_GREY = 40;
constexpr uint8_t WHITE[3] = {235, 235, 235};
// Depth ranges: the percentiles at their ends, and the most depths sampled.
constexpr double LOW_PERCENTILE = 0.01;
constexpr double HIGH_PERCENTILE = 0.99;
constexpr std::size_t RANGE_SAMPLES = std::size_t{1} << 20;

// False-colour stops from near (first) to far (last).
constexpr float PALETTE[][3] = {
    {1.00f, 0.95f, 0.35f}, {1.00f, 0.55f, 0.10f}, {0.85f, 0.15f, 0.20f}, {0.45f, 0.10f, 0.60f}, {0.10f, 0.12f, 0.45f},
};
constexpr int PALETTE_STOPS = sizeof PALETTE / sizeof PALETTE[0];

// Glyphs of the built-in font: 3 x 5 cells, one row of three bits per entry.
struct Glyph {
    char c;
    uint8_t rows[5];
};
constexpr Glyph GLYPHS[] = {
    {'0', {7, 5, 5, 5, 7}}, {'1', {2, 6, 2, 2, 7}}, {'2', {7, 1, 7, 4, 7}}, {'3', {7, 1, 7, 1, 7}},
    {'4', {5, 5, 7, 1, 1}}, {'5', {7, 4, 7, 1, 7}}, {'6', {7, 4, 7, 5, 7}}, {'7', {7, 1, 1, 1, 1}},
    {'8', {7, 5, 7, 5, 7}}, {'9', {7, 5, 7, 1, 7}}, {'.', {0, 0, 0, 0, 2}}, {'-', {0, 0, 7, 0, 0}},
    {'+', {0, 2, 7, 2, 0}}, {'e', {0, 7, 7, 4, 7}},
};

const Glyph* find_glyph(char c) {
    for (const Glyph& glyph : GLYPHS)
        if (glyph.c == c) return &glyph;
    return nullptr;
}

int32_t builtin_scale(int32_t size) { return std::max(1, size / 6); }

void put_pixel(Picture& picture, int32_t x, int32_t y, const uint8_t (&rgb)[3]) {
    if (x < 0 || y < 0 || x >= picture.width || y >= picture.height) return;
    const std::size_t at = picture.index(x, y);
    for (int c = 0; c < 3 && c < picture.channels; ++c) picture.pixels[at + c] = rgb[c];
    if (picture.channels == 4) picture.pixels[at + 3] = 255;
}

void draw_builtin_text(Picture& picture, int32_t x, int32_t y, const std::string& text, int32_t size,
                       const uint8_t (&rgb)[3]) {
    const int32_t s = builtin_scale(size);
    for (char c : text) {
        if (const Glyph* glyph = find_glyph(c)) {
            for (int32_t row = 0; row < 5; ++row)
                for (int32_t column = 0; column < 3; ++column)
                    if (glyph->rows[row] & (4 >> column))
                        for (int32_t dy = 0; dy < s; ++dy)
                            for (int32_t dx = 0; dx < s; ++dx) put_pixel(picture, x + column * s + dx, y + row * s + dy, rgb);
        }
        x += 4 * s;
    }
}

bool draw_font_text(Picture& picture, int32_t x, int32_t y, const std::string& text, int32_t size,
                    const uint8_t (&rgb)[3]) {
    OIIO::ImageSpec spec(picture.width, picture.height, picture.channels, OIIO::TypeDesc::UINT8);
    OIIO::ImageBuf buffer(spec, picture.pixels.data());
    const float colour[4] = {rgb[0] / 255.0f, rgb[1] / 255.0f, rgb[2] / 255.0f, 1.0f};
    const bool drawn = OIIO::ImageBufAlgo::render_text(
        buffer, x, y, text, size, FONT, OIIO::cspan<float>(colour, std::size_t(picture.channels)),
        OIIO::ImageBufAlgo::TextAlignX::Left, OIIO::ImageBufAlgo::TextAlignY::Top);
    if (!drawn) buffer.geterror();  // clears the message; the caller falls back to the built-in font
    return drawn;
}

void palette_colour(float u, float (&out)[3]) {
    u = std::clamp(u, 0.0f, 1.0f) * float(PALETTE_STOPS - 1);
    const int stop = std::min(int(u), PALETTE_STOPS - 2);
    const float f = u - float(stop);
    for (int c = 0; c < 3; ++c) out[c] = PALETTE[stop][c] * (1 - f) + PALETTE[stop + 1][c] * f;
}

bool is_object(float depth, float background) { return std::isfinite(depth) && depth < background; }

// Where `depth` stands between the ends of the range, 0 at near and 1 at far.
float range_position(float depth, const DepthRange& range) {
    if (range.log) {
        if (!(depth > range.near) || !(range.far > range.near)) return 0.0f;
        return float(std::log(double(depth) / range.near) / std::log(double(range.far) / range.near));
    }
    const float span = range.far - range.near;
    return span > 0 ? (depth - range.near) / span : 0.0f;
}

void depth_colour(float depth, const DepthRange& range, uint8_t* out) {
    if (range.empty || !is_object(depth, range.background)) {
        out[0] = out[1] = out[2] = BACKGROUND_GREY;
        return;
    }
    float rgb[3];
    palette_colour(range_position(depth, range), rgb);
    for (int c = 0; c < 3; ++c) out[c] = to_unorm8(rgb[c]);
}

std::string number_text(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", double(value));
    return text;
}

void draw_legend(Picture& picture, int32_t top, const DepthRange& range) {
    const int32_t margin = 8, bar_height = 10;
    const int32_t bar_width = std::max(1, picture.width - 2 * margin);
    for (int32_t x = 0; x < bar_width; ++x) {
        float rgb[3];
        palette_colour(float(x) / float(std::max(1, bar_width - 1)), rgb);
        const uint8_t colour[3] = {to_unorm8(rgb[0]), to_unorm8(rgb[1]), to_unorm8(rgb[2])};
        for (int32_t y = 0; y < bar_height; ++y) put_pixel(picture, margin + x, top + 6 + y, colour);
    }
    if (range.empty) return;
    const int32_t size = 14, text_top = top + 6 + bar_height + 4;
    const std::string near = "near " + number_text(range.near);
    const std::string far = "far " + number_text(range.far) + (range.log ? " (log)" : "");
    const bool builtin = !draw_font_text(picture, margin, text_top, near, size, WHITE);
    if (builtin) {
        // Without a font the numbers alone stand at the ends of the bar.
        draw_builtin_text(picture, margin, text_top, number_text(range.near), size, WHITE);
        const std::string far_number = number_text(range.far);
        draw_builtin_text(picture, picture.width - margin - text_width(far_number, size, true), text_top, far_number,
                          size, WHITE);
        return;
    }
    draw_font_text(picture, picture.width - margin - text_width(far, size), text_top, far, size, WHITE);
}

Picture blank_picture(int32_t width, int32_t height, int32_t channels, uint8_t grey) {
    Picture picture;
    picture.width = width;
    picture.height = height;
    picture.channels = channels;
    picture.pixels.assign(std::size_t(width) * std::size_t(height) * std::size_t(channels), grey);
    if (channels == 4)
        for (std::size_t i = 3; i < picture.pixels.size(); i += 4) picture.pixels[i] = 255;
    return picture;
}

// Box-filtered copy of `source` over grey into a width x height area of
// `sheet` at (left, top).
void paste_thumbnail(Picture& sheet, const Picture& source, int32_t left, int32_t top, int32_t width, int32_t height) {
    for (int32_t ty = 0; ty < height; ++ty) {
        const int32_t y0 = int32_t(int64_t(ty) * source.height / height);
        const int32_t y1 = std::max(y0 + 1, int32_t(int64_t(ty + 1) * source.height / height));
        for (int32_t tx = 0; tx < width; ++tx) {
            const int32_t x0 = int32_t(int64_t(tx) * source.width / width);
            const int32_t x1 = std::max(x0 + 1, int32_t(int64_t(tx + 1) * source.width / width));
            float sum[3] = {0, 0, 0};
            for (int32_t y = y0; y < y1; ++y)
                for (int32_t x = x0; x < x1; ++x) {
                    const std::size_t at = source.index(x, y);
                    const float alpha = source.channels == 4 ? source.pixels[at + 3] / 255.0f : 1.0f;
                    for (int c = 0; c < 3; ++c) {
                        const uint8_t value = source.pixels[at + std::min(c, source.channels - 1)];
                        sum[c] += value * alpha + BACKGROUND_GREY * (1 - alpha);
                    }
                }
            const float count = float((y1 - y0) * (x1 - x0));
            const uint8_t rgb[3] = {uint8_t(sum[0] / count + 0.5f), uint8_t(sum[1] / count + 0.5f),
                                    uint8_t(sum[2] / count + 0.5f)};
            put_pixel(sheet, left + tx, top + ty, rgb);
        }
    }
}

}  // namespace

uint8_t to_unorm8(float value) {
    if (!(value > 0.0f)) return 0;  // NaN too
    if (value >= 1.0f) return 255;
    return uint8_t(value * 255.0f + 0.5f);
}

DepthRange depth_range(const host::Image& depth, float background) {
    DepthRange range;
    range.background = background;
    std::vector<float> objects;
    const std::size_t step = std::max<std::size_t>(1, depth.pixels.size() / RANGE_SAMPLES);
    for (std::size_t i = 0; i < depth.pixels.size(); i += step)
        if (is_object(depth.pixels[i], background)) objects.push_back(depth.pixels[i]);
    if (objects.empty()) return range;
    const double last = double(objects.size() - 1);
    const auto low = objects.begin() + std::ptrdiff_t(std::floor(last * LOW_PERCENTILE));
    const auto high = objects.begin() + std::ptrdiff_t(std::ceil(last * HIGH_PERCENTILE));
    std::nth_element(objects.begin(), low, objects.end());
    range.near = *low;
    std::nth_element(low, high, objects.end());
    range.far = *high;
    range.empty = false;
    return range;
}

DepthRange covering(const DepthRange& a, const DepthRange& b) {
    if (b.empty) return a;
    DepthRange both = a;
    both.near = a.empty ? b.near : std::min(a.near, b.near);
    both.far = a.empty ? b.far : std::max(a.far, b.far);
    both.empty = false;
    return both;
}

Picture depth_preview(const host::Image& depth, const DepthRange& range, bool legend) {
    Picture picture = blank_picture(depth.width, depth.height + (legend ? LEGEND_HEIGHT : 0), 3, 0);
    for (int32_t y = 0; y < depth.height; ++y)
        for (int32_t x = 0; x < depth.width; ++x) depth_colour(depth.at(x, y), range, &picture.pixels[picture.index(x, y)]);
    if (legend) draw_legend(picture, depth.height, range);
    return picture;
}

Picture display_picture(const host::Image& rgba, bool premultiplied, const std::string& colour_space,
                        int32_t channels) {
    OIIO::ImageSpec spec(rgba.width, rgba.height, 4, OIIO::TypeDesc::FLOAT);
    spec.alpha_channel = 3;
    // Wrapped, not copied; only read.
    const OIIO::ImageBuf colour(spec, const_cast<float*>(rgba.pixels.data()));
    OIIO::ImageBuf straight;
    if (premultiplied && channels == 4) OIIO::ImageBufAlgo::unpremult(straight, colour);
    const OIIO::ImageBuf& source = premultiplied && channels == 4 ? straight : colour;
    OIIO::ImageBuf display;
    // A colour space that OpenImageIO does not know is taken as scene-linear.
    if (colour_space.empty() || !OIIO::ImageBufAlgo::colorconvert(display, source, colour_space, "sRGB", false)) {
        display.clear();
        if (!OIIO::ImageBufAlgo::colorconvert(display, source, "linear", "sRGB", false)) {
            throw Error("cannot convert colour to sRGB: " + first_line(display.geterror()));
        }
    }
    Picture picture = blank_picture(rgba.width, rgba.height, channels, 0);
    display.get_pixels(OIIO::ROI(0, rgba.width, 0, rgba.height, 0, 1, 0, channels), OIIO::TypeDesc::UINT8,
                       picture.pixels.data());
    return picture;
}

Picture colour_preview(const host::Image& rgba) { return display_picture(rgba, false, "", 4); }

Picture contact_sheet(const std::vector<Picture>& pictures, const std::vector<std::string>& labels, int32_t columns,
                      int32_t thumb_width) {
    if (pictures.empty()) return blank_picture(1, 1, 3, BACKGROUND_GREY);
    const int32_t gap = 4;
    columns = std::clamp(columns, 1, int32_t(pictures.size()));
    const int32_t rows = (int32_t(pictures.size()) + columns - 1) / columns;
    const int32_t thumb_height =
        std::max(1, int32_t(int64_t(thumb_width) * pictures[0].height / std::max(1, pictures[0].width)));
    Picture sheet = blank_picture(gap + columns * (thumb_width + gap), gap + rows * (thumb_height + gap), 3, 16);
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        const int32_t left = gap + int32_t(i % columns) * (thumb_width + gap);
        const int32_t top = gap + int32_t(i / columns) * (thumb_height + gap);
        paste_thumbnail(sheet, pictures[i], left, top, thumb_width, thumb_height);
        if (i < labels.size()) draw_text(sheet, left + 3, top + 2, labels[i], 12, WHITE);
    }
    return sheet;
}

void draw_text(Picture& picture, int32_t x, int32_t y, const std::string& text, int32_t size,
               const uint8_t (&rgb)[3], bool builtin) {
    if (builtin || !draw_font_text(picture, x, y, text, size, rgb)) draw_builtin_text(picture, x, y, text, size, rgb);
}

int32_t text_width(const std::string& text, int32_t size, bool builtin) {
    if (!builtin) {
        const OIIO::ROI box = OIIO::ImageBufAlgo::text_size(text, size, FONT);
        if (box.defined()) return box.width();
    }
    return int32_t(text.size()) * 4 * builtin_scale(size);
}

}  // namespace zhost
