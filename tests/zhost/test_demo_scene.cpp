// The demo's procedural renderer: true depth, layers that pass through each
// other, animation, and results independent of the number of threads.
#include <gtest/gtest.h>

#include <cmath>

#include "zhost/images/demo_scene.h"
#include "zhost_test_support.h"

using zhost::DemoLayer;
using zhost::RenderedLayer;

namespace {

constexpr int32_t W = 96, H = 54;

RenderedLayer render(DemoLayer layer, int32_t index, int threads = 1) {
    return zhost::render_demo_layer(layer, {index, 24}, W, H, threads);
}

bool covered(const RenderedLayer& layer, int32_t x, int32_t y) { return layer.rgba.at(x, y, 3) == 1.0f; }

}  // namespace

TEST(DemoScene, LayersHaveRgbaAndDepthPlanesOfTheAskedSize) {
    for (DemoLayer which : {DemoLayer::FIRST, DemoLayer::SECOND}) {
        const RenderedLayer layer = render(which, 3);
        EXPECT_EQ(layer.rgba.width, W);
        EXPECT_EQ(layer.rgba.height, H);
        EXPECT_EQ(layer.rgba.channels, 4);
        EXPECT_EQ(layer.depth.channels, 1);
        ASSERT_EQ(layer.depth.pixels.size(), std::size_t(W * H));
        ASSERT_EQ(layer.rgba.pixels.size(), std::size_t(W * H * 4));
    }
}

TEST(DemoScene, ObjectsAreOpaqueAndNearerThanTheBackground) {
    for (DemoLayer which : {DemoLayer::FIRST, DemoLayer::SECOND}) {
        const RenderedLayer layer = render(which, 5);
        int objects = 0, background = 0;
        for (int32_t y = 0; y < H; ++y)
            for (int32_t x = 0; x < W; ++x) {
                const float alpha = layer.rgba.at(x, y, 3), depth = layer.depth.at(x, y);
                if (alpha == 1.0f) {
                    ++objects;
                    EXPECT_TRUE(depth > 0.5f && depth < 60.0f) << x << "," << y << " depth " << depth;
                    float brightest = 0;
                    for (int c = 0; c < 3; ++c) brightest = std::max(brightest, layer.rgba.at(x, y, c));
                    EXPECT_GT(brightest, 0.0f) << "shaded, not black, at " << x << "," << y;
                } else {
                    ++background;
                    EXPECT_EQ(alpha, 0.0f);
                    EXPECT_EQ(depth, zhost::DEMO_BACKGROUND_DEPTH) << x << "," << y;
                    EXPECT_EQ(layer.rgba.at(x, y, 0), 0.0f);
                }
            }
        EXPECT_GT(objects, 0);
        EXPECT_GT(background, 0);
    }
}

TEST(DemoScene, GroundDepthGrowsTowardsTheHorizon) {
    const RenderedLayer first = render(DemoLayer::FIRST, 0);
    // The outermost columns see only ground below the horizon; the second
    // layer has no ground, so its bottom corners are empty.
    for (int32_t x : {0, W - 1}) {
        ASSERT_TRUE(covered(first, x, H - 1));
        int32_t y = H - 2;
        for (; y >= 0 && covered(first, x, y); --y) {
            EXPECT_GT(first.depth.at(x, y), first.depth.at(x, y + 1)) << "column " << x << ", row " << y;
        }
        EXPECT_GT(y, 0) << "the ground ends below the top of the picture";
    }
    const RenderedLayer second = render(DemoLayer::SECOND, 0);
    EXPECT_FALSE(covered(second, 0, H - 1));
}

TEST(DemoScene, LayersInterpenetrate) {
    for (int32_t index : {0, 6, 12, 18}) {
        const RenderedLayer first = render(DemoLayer::FIRST, index), second = render(DemoLayer::SECOND, index);
        int first_nearer = 0, second_nearer = 0;
        for (int32_t y = 0; y < H; ++y)
            for (int32_t x = 0; x < W; ++x) {
                if (!covered(first, x, y) || !covered(second, x, y)) continue;
                if (first.depth.at(x, y) < second.depth.at(x, y)) ++first_nearer;
                if (second.depth.at(x, y) < first.depth.at(x, y)) ++second_nearer;
            }
        EXPECT_GT(first_nearer, 0) << "frame " << index;
        EXPECT_GT(second_nearer, 0) << "frame " << index;
    }
}

TEST(DemoScene, FramesDifferAndTheAnimationLoops) {
    for (DemoLayer which : {DemoLayer::FIRST, DemoLayer::SECOND}) {
        const RenderedLayer a = render(which, 0), b = render(which, 3);
        EXPECT_NE(ztest::bits_of(a.depth.pixels), ztest::bits_of(b.depth.pixels));
        const RenderedLayer again = zhost::render_demo_layer(which, {24, 24}, W, H, 1);
        EXPECT_EQ(ztest::bits_of(a.depth.pixels), ztest::bits_of(again.depth.pixels));
    }
}

TEST(DemoScene, ThreadCountDoesNotChangeTheResult) {
    for (DemoLayer which : {DemoLayer::FIRST, DemoLayer::SECOND}) {
        const RenderedLayer one = render(which, 7, 1);
        for (int threads : {0, 3, 200}) {
            const RenderedLayer many = render(which, 7, threads);
            EXPECT_EQ(ztest::bits_of(many.rgba.pixels), ztest::bits_of(one.rgba.pixels)) << threads << " threads";
            EXPECT_EQ(ztest::bits_of(many.depth.pixels), ztest::bits_of(one.depth.pixels)) << threads << " threads";
        }
    }
}
