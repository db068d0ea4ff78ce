// Preview pictures: depth ranges, false colour, sRGB encoding, contact sheets.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <utility>

#include "zhost/images/preview.h"
#include "zhost_test_support.h"

namespace {

host::Image depth_image(int32_t width, int32_t height, std::vector<float> values) {
    host::Image image;
    image.width = width;
    image.height = height;
    image.channels = 1;
    image.pixels = std::move(values);
    return image;
}

std::vector<uint8_t> rgb_at(const zhost::Picture& picture, int32_t x, int32_t y) {
    const std::size_t at = picture.index(x, y);
    return {picture.pixels[at], picture.pixels[at + 1], picture.pixels[at + 2]};
}

}  // namespace

TEST(DepthRange, LeavesOutBackgroundAndNonFiniteDepths) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    struct Case { std::vector<float> values; float background; bool empty; float near, far; };
    const Case cases[] = {
        {{3, 1, 2}, inf, false, 1, 3},
        {{3, 1, 2, 100}, 100, false, 1, 3},
        {{nan, 5, inf, -inf, 4}, inf, false, 4, 5},
        {{-2, 7}, inf, false, -2, 7},
        {{100, 100}, 100, true, 0, 0},
        {{nan}, inf, true, 0, 0},
    };
    for (const Case& c : cases) {
        const zhost::DepthRange range = zhost::depth_range(depth_image(int32_t(c.values.size()), 1, c.values), c.background);
        EXPECT_EQ(range.empty, c.empty);
        if (!c.empty) {
            EXPECT_EQ(range.near, c.near);
            EXPECT_EQ(range.far, c.far);
        }
    }
}

TEST(DepthPreview, NearAndFarTakeTheEndsOfThePaletteAndBackgroundIsGrey) {
    const host::Image depth = depth_image(4, 1, {1.0f, 3.0f, 2.0f, 100.0f});
    const zhost::DepthRange range = zhost::depth_range(depth, 100.0f);
    const zhost::Picture plain = zhost::depth_preview(depth, range, false);
    ASSERT_EQ(plain.height, 1);
    ASSERT_EQ(plain.channels, 3);
    EXPECT_EQ(rgb_at(plain, 0, 0), (std::vector<uint8_t>{255, 242, 89})) << "near: yellow";
    EXPECT_EQ(rgb_at(plain, 1, 0), (std::vector<uint8_t>{26, 31, 115})) << "far: dark blue";
    EXPECT_EQ(rgb_at(plain, 2, 0), (std::vector<uint8_t>{217, 38, 51})) << "half way: red";
    EXPECT_EQ(rgb_at(plain, 3, 0), (std::vector<uint8_t>{40, 40, 40})) << "background";

    const host::Image wide = depth_image(200, 2, std::vector<float>(400, 5.0f));
    const zhost::Picture with_legend = zhost::depth_preview(wide, zhost::depth_range(wide), true);
    EXPECT_EQ(with_legend.height, 2 + zhost::LEGEND_HEIGHT);
    int lit = 0;
    for (int32_t y = 2 + 20; y < with_legend.height; ++y)
        for (int32_t x = 0; x < 200; ++x) lit += rgb_at(with_legend, x, y)[0] > 128;
    EXPECT_GT(lit, 20) << "the legend's text is drawn below the colour bar";
}

// A depth as a path tracer leaves it: a sphere from 2 to 5, a ground plane
// from 10 to 50, and the background at 1e10 (a few pixels at infinity and
// NaN). Its preview shows the objects' shape in many colours and the
// background apart, in its own grey.
TEST(DepthPreview, APathTracedDepthShowsItsObjectsShapeAndLeavesTheBackgroundApart) {
    constexpr int32_t w = 160, h = 120;
    std::vector<float> values;
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            const float r2 = (float(x - 80) * float(x - 80) + float(y - 50) * float(y - 50)) / 900.0f;
            if (r2 < 1.0f) {
                values.push_back(5.0f - 3.0f * std::sqrt(1.0f - r2));
            } else if (y >= 70) {  // distance along the ray grows away from the middle
                const float across = float(x - 80) / 160.0f;
                values.push_back((48.0f - float(y - 70) * 38.0f / 49.0f) * std::sqrt(1.0f + across * across));
            } else {
                values.push_back(x == 0 ? std::numeric_limits<float>::infinity()
                                 : x == 1 ? std::numeric_limits<float>::quiet_NaN() : 1e10f);
            }
        }
    }
    const host::Image depth = depth_image(w, h, values);
    const zhost::DepthRange found = zhost::depth_range(depth, zhost::DEFAULT_BACKGROUND_DEPTH);
    zhost::DepthRange log = found, given = found;
    log.log = true;
    given.near = 2.0f;
    given.far = 50.0f;
    for (const auto& [name, range] : {std::pair{"percentiles", found}, {"log", log}, {"given", given}}) {
        const zhost::Picture picture = zhost::depth_preview(depth, range, false);
        std::set<std::vector<uint8_t>> object_colours;
        for (int32_t y = 0; y < h; ++y) {
            for (int32_t x = 0; x < w; ++x) {
                const std::vector<uint8_t> rgb = rgb_at(picture, x, y);
                const bool background = !(depth.at(x, y) < 1e10f);
                if (background) {
                    EXPECT_EQ(rgb, (std::vector<uint8_t>{40, 40, 40})) << name << " " << x << "," << y;
                } else {
                    EXPECT_NE(rgb, (std::vector<uint8_t>{40, 40, 40})) << name << " " << x << "," << y;
                    object_colours.insert(rgb);
                }
            }
        }
        EXPECT_GE(object_colours.size(), 100u) << name;
    }
    EXPECT_NEAR(found.near, 2.0f, 0.1f);
    EXPECT_NEAR(found.far, 50.0f, 1.0f);
}

TEST(ColourPreview, EncodesLinearColourAsSrgbAndKeepsAlpha) {
    // Alpha stays as it is (straight), whatever the colour.
    struct Case { float linear; uint8_t srgb; };
    const Case cases[] = {{0.0f, 0}, {-1.0f, 0}, {0.002f, 7}, {0.5f, 188}, {0.21586f, 128}, {1.0f, 255}, {7.0f, 255}};
    for (const Case& c : cases) {
        host::Image rgba;
        rgba.width = 1;
        rgba.height = 1;
        rgba.channels = 4;
        rgba.pixels = {c.linear, 0.0f, 1.0f, 0.5f};
        EXPECT_EQ(zhost::colour_preview(rgba).pixels, (std::vector<uint8_t>{c.srgb, 0, 255, 128})) << c.linear;
    }
}

TEST(ContactSheet, PlacesEachFrameInItsCell) {
    std::vector<zhost::Picture> frames;
    for (uint8_t i = 0; i < 5; ++i) {
        zhost::Picture frame;
        frame.width = 8;
        frame.height = 4;
        frame.channels = 3;
        frame.pixels.assign(8 * 4 * 3, uint8_t(50 * i));
        frames.push_back(frame);
    }
    const zhost::Picture sheet = zhost::contact_sheet(frames, {}, 3, 16);
    // 3 columns and 2 rows of 16 x 8 thumbnails, 4 pixels apart.
    EXPECT_EQ(sheet.width, 4 + 3 * 20);
    EXPECT_EQ(sheet.height, 4 + 2 * 12);
    for (int i = 0; i < 5; ++i) {
        const int32_t left = 4 + (i % 3) * 20, top = 4 + (i / 3) * 12;
        EXPECT_EQ(rgb_at(sheet, left + 8, top + 4)[0], 50 * i) << "frame " << i;
    }
}

TEST(DrawText, BuiltInDigitsAreDrawnWithinTheirWidth) {
    zhost::Picture picture;
    picture.width = 60;
    picture.height = 12;
    picture.channels = 3;
    picture.pixels.assign(60 * 12 * 3, 0);
    const uint8_t white[3] = {255, 255, 255};
    const std::string text = "1.5e-3";
    zhost::draw_text(picture, 2, 1, text, 12, white, true);
    const int32_t width = zhost::text_width(text, 12, true);
    int inside = 0, outside = 0;
    for (int32_t y = 0; y < 12; ++y)
        for (int32_t x = 0; x < 60; ++x) (x >= 2 && x < 2 + width && y >= 1 && y < 11 ? inside : outside) += picture.pixels[picture.index(x, y)] == 255;
    EXPECT_GT(inside, 20);
    EXPECT_EQ(outside, 0);
}
