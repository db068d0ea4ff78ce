// The compositor's instance, render and per-pixel operations, through the
// real module file in the host.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "compositor_fixture.h"
#include "host/scene_state.h"
#include "module/memory.h"
#include "module/servers.h"

namespace {

using test::bits;
using test::CompositorTest;
using test::flat_image;

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();
constexpr int32_t I32_MAX = std::numeric_limits<int32_t>::max();
constexpr int32_t I32_MIN = std::numeric_limits<int32_t>::min();

const std::vector<std::string> ALL_WRITES = {"get 32 4", "get 12 1", "set_rgba", "set 12 1"};

class CompositorInstance : public CompositorTest {
protected:
    // init's error text, or null when it succeeds.
    const char* init_error() {
        const auto& render = *filter.record().render_ops;
        return render.init(filter.instance().get(), 0);
    }

    // The list's image of that name, added (1 x 1, greyscale) when missing.
    ImageId image_named(const std::string& name) {
        const ImageId known = images.find(name);
        return known ? known : images.add(flat_image(name, 1, 1, 1, 0.0f));
    }
};

// ---- Instance operations ------------------------------------------------------

TEST_F(CompositorTest, FreshInstanceHoldsTheHostLookupAndNothingElse) {
    ZCompInstance expected{};
    expected.host_global = host::host_global;
    EXPECT_EQ(std::memcmp(&state(), &expected, sizeof expected), 0);
    EXPECT_EQ(filter.flags(), 4096u);
}

TEST(CompositorCreate, FailedAllocationGivesTheErrorText) {
    obk_fail_allocation_after(1);
    const char* error = nullptr;
    void* instance = zcomp_create(host::host_global, nullptr, &error);
    obk_fail_allocation_after(0);
    EXPECT_EQ(instance, nullptr);
    EXPECT_STREQ(error, "OBK_ZComp:  Couldn't allocate instance data.");
}

TEST_F(CompositorTest, DescribeNamesTheDepthImageFirstAndNoneForMissingImages) {
    const ImageId depth = images.add(flat_image("depth.zb", 4, 4, 1, 1.0f));
    const ImageId comp = images.add(flat_image("plate", 4, 4, 3, 1.0f));
    const struct { ImageId depth, comp; const char* text; } cases[] = {
        {nullptr, nullptr, "OBK_ZComp:  (none), (none)"},
        {depth, nullptr, "OBK_ZComp:  depth.zb, (none)"},
        {nullptr, comp, "OBK_ZComp:  (none), plate"},
        {depth, comp, "OBK_ZComp:  depth.zb, plate"},
    };
    for (const auto& c : cases) {
        choose(c.depth, c.comp);
        const char* text = filter.instance().ops().describe(filter.instance().get());
        EXPECT_STREQ(text, c.text);
        EXPECT_EQ(text, state().description) << "the text lives in the instance";
    }
}

TEST_F(CompositorInstance, LongNamesAreCutToTheDescriptionWithoutSplittingACharacter) {
    const std::string prefix = "OBK_ZComp:  ";
    const struct { std::string depth_name, comp_name, text; } cases[] = {
        {std::string(300, 'd'), std::string(300, 'c'), prefix + std::string(247, 'd')},
        {std::string(240, 'd'), std::string(300, 'c'), prefix + std::string(240, 'd') + ", " + std::string(5, 'c')},
        // A two-byte character at bytes 258 and 259: the cut would keep only its first byte.
        {std::string(246, 'a') + "\xC3\xA9tude", "x", prefix + std::string(246, 'a')},
        // A three-byte character at bytes 257 to 259.
        {std::string(245, 'a') + "\xE2\x82\xAC", "x", prefix + std::string(245, 'a')},
        // A two-byte character that ends at byte 258 fits whole.
        {std::string(245, 'a') + "\xC3\xA9", "x", prefix + std::string(245, 'a') + "\xC3\xA9"},
    };
    for (const auto& c : cases) {
        choose(image_named(c.depth_name), image_named(c.comp_name));
        const std::string text = filter.instance().describe();
        EXPECT_EQ(text, c.text);
        EXPECT_LT(text.size(), ZCOMP_DESCRIPTION_CAPACITY);
    }
}

TEST_F(CompositorInstance, SaveWritesBothReferencesByNameOnlyWhenBothAreChosen) {
    const ImageId depth = image_named("depth.zb");
    const ImageId comp = image_named("plate");
    const struct { ImageId depth, comp; host::SceneValues written; } cases[] = {
        {depth, comp, {host::ImageRef{"depth.zb"}, host::ImageRef{"plate"}}},
        {depth, nullptr, {}},
        {nullptr, comp, {}},
        {nullptr, nullptr, {}},
    };
    for (const auto& c : cases) {
        choose(c.depth, c.comp);
        host::SceneValues values;
        filter.instance().save(values);
        EXPECT_EQ(values, c.written);
    }
}

TEST_F(CompositorInstance, LoadTakesTwoReferencesAndKeepsFlagsAndFactors) {
    const ImageId depth = image_named("depth.zb");
    const ImageId comp = image_named("plate");
    const struct { host::SceneValues stored; ImageId depth, comp; } cases[] = {
        {{host::ImageRef{"depth.zb"}, host::ImageRef{"plate"}}, depth, comp},
        {{host::ImageRef{"plate"}, host::ImageRef{"depth.zb"}}, comp, depth},
        {{host::ImageRef{"depth.zb"}, host::ImageRef{"not loaded"}}, depth, nullptr},
        {{host::ImageRef{"depth.zb"}}, depth, nullptr},
        {{}, nullptr, nullptr},  // a scene saved while only one image was chosen
    };
    for (const auto& c : cases) {
        choose(image_named("old"), image_named("old"));
        state().depth_scaled = 1;
        state().comp_scale_y = 3.5f;
        filter.instance().load(c.stored);
        EXPECT_EQ(state().depth_image, c.depth);
        EXPECT_EQ(state().comp_image, c.comp);
        EXPECT_EQ(state().depth_scaled, 1);
        EXPECT_EQ(state().comp_scale_y, 3.5f);
    }
}

TEST_F(CompositorInstance, SavedChoiceComesBackInAnotherInstance) {
    choose(image_named("depth.zb"), image_named("plate"));
    host::SceneValues values;
    filter.instance().save(values);
    host::Instance other(filter.instance().ops());
    other.load(values);
    const auto& loaded = *static_cast<const ZCompInstance*>(other.get());
    EXPECT_EQ(loaded.depth_image, state().depth_image);
    EXPECT_EQ(loaded.comp_image, state().comp_image);
}

TEST_F(CompositorInstance, CopyReproducesTheWholeRecord) {
    choose(image_named("depth.zb"), image_named("plate"));
    state().depth_scaled = 1;
    state().depth_scale_x = 0.5f;
    state().depth_scale_y = 0.25f;
    state().comp_scaled = 1;
    state().comp_scale_x = 2.0f;
    state().comp_scale_y = 4.0f;
    filter.instance().describe();

    host::Instance other(filter.instance().ops());
    other.copy_from(filter.instance());
    EXPECT_EQ(std::memcmp(other.get(), &state(), sizeof(ZCompInstance)), 0);
    EXPECT_EQ(static_cast<ZCompInstance*>(other.get())->host_global, host::host_global);

    const ZCompInstance before = state();
    filter.instance().copy_from(filter.instance());
    EXPECT_EQ(std::memcmp(&before, &state(), sizeof before), 0) << "copy onto itself changes nothing";
}

// ---- init ------------------------------------------------------------------------

TEST_F(CompositorInstance, InitChecksTheDepthImageFirstThenTheCompositeImage) {
    const ImageId image = images.add(flat_image("frame", 640, 480, 1, 0.0f));
    const struct { ImageId depth, comp; const char* error; } cases[] = {
        {nullptr, nullptr, "OBK_ZComp:  No depth buffer file specified."},
        {nullptr, image, "OBK_ZComp:  No depth buffer file specified."},
        {image, nullptr, "OBK_ZComp:  No image to composite."},
        {image, image, nullptr},
    };
    for (const auto& c : cases) {
        choose(c.depth, c.comp);
        EXPECT_STREQ(init_error(), c.error);
    }
}

TEST_F(CompositorInstance, InitDerivesFlagsAndFactorsFromTheFrameSize) {
    constexpr float KEPT = 7.0f;
    const struct {
        int32_t frame_w, frame_h, image_w, image_h;
        int32_t scaled;
        float scale_x, scale_y;
    } cases[] = {
        {640, 480, 640, 480, 0, KEPT, KEPT},  // same size: factors stay as they were
        {640, 480, 1280, 480, 1, 2.0f, 1.0f},
        {640, 480, 320, 240, 1, 0.5f, 0.5f},
        {640, 480, 640, 481, 1, 1.0f, static_cast<float>(481.0 / 480.0)},
        // The quotient is taken in double: in float, 1 / 16777217 would be 2^-24.
        {16777217, 1, 1, 1, 1, static_cast<float>(1.0 / 16777217.0), 1.0f},
        // A frame without pixels gives factor 0 where the quotient would be infinite.
        {0, 0, 640, 480, 1, 0.0f, 0.0f},
        {0, 480, 640, 480, 1, 0.0f, 1.0f},
    };
    ASSERT_NE(static_cast<float>(1.0 / 16777217.0), 1.0f / 16777217.0f);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.image_w) + " x " + std::to_string(c.image_h) + " in " +
                     std::to_string(c.frame_w) + " x " + std::to_string(c.frame_h));
        const std::string name = "image " + std::to_string(c.image_w) + "x" + std::to_string(c.image_h);
        const ImageId found = images.find(name);
        const ImageId image = found ? found : images.add(flat_image(name, c.image_w, c.image_h, 1, 0.0f));
        const ImageId other = image_named("1x1 other");
        scene.set_frame_size(c.frame_w, c.frame_h);
        for (const bool as_depth : {true, false}) {
            choose(as_depth ? image : other, as_depth ? other : image);
            state().depth_scale_x = state().depth_scale_y = state().comp_scale_x = state().comp_scale_y = KEPT;
            filter.init();
            const int32_t scaled = as_depth ? state().depth_scaled : state().comp_scaled;
            const float x = as_depth ? state().depth_scale_x : state().comp_scale_x;
            const float y = as_depth ? state().depth_scale_y : state().comp_scale_y;
            EXPECT_EQ(scaled, c.scaled) << (as_depth ? "depth" : "comp");
            EXPECT_EQ(bits(x), bits(c.scale_x)) << x;
            EXPECT_EQ(bits(y), bits(c.scale_y)) << y;
        }
    }
}

TEST_F(CompositorInstance, InitWithoutSceneInfoSucceedsAndChangesNothing) {
    choose(images.add(flat_image("big", 1280, 960, 1, 0.0f)), image_named("small"));
    state().depth_scaled = 0;
    state().comp_scaled = 1;
    state().comp_scale_x = 3.0f;
    const ZCompInstance before = state();
    host::OfferedService withdrawn("LW Scene Info 2", nullptr);
    EXPECT_NO_THROW(filter.init());
    EXPECT_EQ(std::memcmp(&before, &state(), sizeof before), 0);
}

TEST_F(CompositorInstance, RenderStopsWithInitsErrorText) {
    host::RenderFrame frame(2, 2);
    try {
        host::RenderPass pass(filter);
        ADD_FAILURE() << "the render started without images";
    } catch (const host::HostError& error) {
        EXPECT_STREQ(error.what(), "OBK_ZComp:  No depth buffer file specified.");
    }
}

// ---- evaluate: the per-pixel rule ---------------------------------------------------

TEST_F(CompositorInstance, NearerDepthImageTakesCompositeColourAndItsDepthAndKeepsAlpha) {
    const struct {
        const char* name;
        float sample;
        float rgba[4];
        float depth;
        bool composites;
    } cases[] = {
        {"equal depth keeps the render", 5.0f, {0.1f, 0.2f, 0.3f, 0.6f}, 5.0f, false},
        {"farther depth image keeps the render", 6.0f, {0.1f, 0.2f, 0.3f, 0.6f}, 5.0f, false},
        {"signed zeros are equal", -0.0f, {0.1f, 0.2f, 0.3f, 1.0f}, 0.0f, false},
        {"infinities are equal", INF, {0.1f, 0.2f, 0.3f, 1.0f}, INF, false},
        {"nearer depth image composites", 4.0f, {0.1f, 0.2f, 0.3f, 0.6f}, 5.0f, true},
        {"uncovered background keeps alpha 0", 3.0f, {0.0f, 0.0f, 0.0f, 0.0f}, 1e30f, true},
        {"NaN sample composites", NaN, {0.1f, 0.2f, 0.3f, 0.6f}, 5.0f, true},
        {"NaN rendered depth composites", 2.0f, {0.1f, 0.2f, 0.3f, 0.6f}, NaN, true},
    };
    const int32_t count = static_cast<int32_t>(std::size(cases));
    scene.set_frame_size(count, 1);
    const ImageId depth = images.add(test::make_image("depth", count, 1, 1, [&](int32_t x, int32_t, int32_t) {
        return cases[x].sample;
    }));
    const float comp_rgba[4] = {0.25f, 0.5f, 0.75f, 0.9f};
    const ImageId comp = images.add(test::make_image("comp", count, 1, 4, [&](int32_t, int32_t, int32_t c) {
        return comp_rgba[c];
    }));
    choose(depth, comp);
    filter.init();
    for (int32_t x = 0; x < count; ++x) {
        const auto& c = cases[x];
        SCOPED_TRACE(c.name);
        const test::PixelOutcome out = evaluate_at(x, 0.0, c.rgba, c.depth);
        for (int channel = 0; channel < 3; ++channel) {
            EXPECT_EQ(bits(out.rgba[channel]), bits(c.composites ? comp_rgba[channel] : c.rgba[channel])) << channel;
        }
        EXPECT_EQ(bits(out.rgba[3]), bits(c.rgba[3])) << "alpha stays as rendered";
        EXPECT_EQ(bits(out.depth), bits(c.composites ? c.sample : c.depth));
        EXPECT_EQ(out.calls, ALL_WRITES) << "colour and depth are written back on every path";
    }
}

// Records the positions that evaluate hands to the image list, and forwards
// them to the host's list.
struct PositionSpy {
    inline static ImageListService real{};
    inline static std::vector<std::pair<int32_t, int32_t>> value_at, rgb_at;

    static float image_value(ImageId image, int32_t x, int32_t y) {
        value_at.emplace_back(x, y);
        return real.image_value(image, x, y);
    }
    static void image_rgb(ImageId image, int32_t x, int32_t y, float rgb[3]) {
        rgb_at.emplace_back(x, y);
        real.image_rgb(image, x, y, rgb);
    }
};

class CompositorMapping : public CompositorInstance {
protected:
    CompositorMapping() {
        PositionSpy::real = *images.service();
        spy_ = PositionSpy::real;
        spy_.image_value = PositionSpy::image_value;
        spy_.image_rgb = PositionSpy::image_rgb;
        PositionSpy::value_at.clear();
        PositionSpy::rgb_at.clear();
        EXPECT_EQ(activate_again(), ACTIVATE_OK);
    }

    // Depth image values x + 1000 y: always nearer than the rendered 1e30, so
    // both images are sampled. Composite colour (x, y, 7).
    ImageId depth_image(int32_t width, int32_t height) {
        return add_once("depth " + std::to_string(width), width, height, 1, [](int32_t x, int32_t y, int32_t) {
            return static_cast<float>(x + 1000 * y);
        });
    }
    ImageId comp_image(int32_t width, int32_t height) {
        return add_once("comp " + std::to_string(width), width, height, 3, [](int32_t x, int32_t y, int32_t c) {
            return c == 0 ? static_cast<float>(x) : c == 1 ? static_cast<float>(y) : 7.0f;
        });
    }

private:
    ImageId add_once(const std::string& name, int32_t width, int32_t height, int32_t channels,
                     const std::function<float(int32_t, int32_t, int32_t)>& sample) {
        const ImageId found = images.find(name);
        return found ? found : images.add(test::make_image(name, width, height, channels, sample));
    }

    ImageListService spy_{};
    host::OfferedService offer_spy_{"LW Image List 3", &spy_};
};

using Position = std::pair<int32_t, int32_t>;

TEST_F(CompositorMapping, PositionsAreScaledShiftedByAHalfAndTruncated) {
    const struct {
        const char* name;
        int32_t depth_w, depth_h, comp_w, comp_h;
        double x, y;
        Position in_depth, in_comp;
    } cases[] = {
        {"same size", 640, 480, 640, 480, 10.0, 20.0, {10, 20}, {10, 20}},
        {"half-size depth image, last pixel", 320, 240, 640, 480, 639.0, 479.0, {320, 240}, {639, 479}},
        {"double-size composite image", 640, 480, 1280, 960, 7.0, 5.0, {7, 5}, {14, 10}},
        {"scaled half goes up", 320, 240, 640, 480, 21.0, 3.0, {11, 2}, {21, 3}},
        {"below a half goes down", 640, 480, 640, 480, 10.49, 0.0, {10, 0}, {10, 0}},
        {"a half goes up", 640, 480, 640, 480, 10.5, 0.0, {11, 0}, {11, 0}},
        {"truncation toward zero", 640, 480, 640, 480, -0.7, -1.7, {0, -1}, {0, -1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        choose(depth_image(c.depth_w, c.depth_h), comp_image(c.comp_w, c.comp_h));
        filter.init();
        PositionSpy::value_at.clear();
        PositionSpy::rgb_at.clear();
        evaluate_at(c.x, c.y, {0.0f, 0.0f, 0.0f, 1.0f}, 1e30f);
        EXPECT_EQ(PositionSpy::value_at, std::vector<Position>{c.in_depth});
        EXPECT_EQ(PositionSpy::rgb_at, std::vector<Position>{c.in_comp});
    }
}

TEST_F(CompositorMapping, PositionsOutsideTheImageReachTheHostUnchangedAndAreClampedThere) {
    choose(depth_image(320, 240), comp_image(640, 480));
    filter.init();
    const test::PixelOutcome out = evaluate_at(639.0, 479.0, {0.0f, 0.0f, 0.0f, 1.0f}, 1e30f);
    EXPECT_EQ(PositionSpy::value_at, (std::vector<Position>{{320, 240}}));
    EXPECT_EQ(out.depth, 319.0f + 1000.0f * 239.0f) << "the host answers with the edge pixel";
}

TEST_F(CompositorMapping, PositionsBeyondTheIntegerRangeSaturate) {
    constexpr double DNaN = std::numeric_limits<double>::quiet_NaN();
    constexpr double DINF = std::numeric_limits<double>::infinity();
    const struct {
        bool scaled;
        double x, y;
        Position expected;
    } cases[] = {
        {false, 1e12, -1e12, {I32_MAX, I32_MIN}},
        {false, DNaN, DINF, {0, I32_MAX}},
        {false, -DINF, 2147483646.9, {I32_MIN, I32_MAX}},
        {false, 2147483647.5, -2147483648.9, {I32_MAX, I32_MIN}},
        {false, -2147483649.7, 3e9, {I32_MIN, I32_MAX}},
        {true, 1e300, -1e300, {I32_MAX, I32_MIN}},
        {true, 4294967294.0, DNaN, {I32_MAX, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.x) + ", " + std::to_string(c.y));
        choose(c.scaled ? depth_image(320, 240) : depth_image(640, 480), comp_image(640, 480));
        filter.init();
        PositionSpy::value_at.clear();
        const test::PixelOutcome out = evaluate_at(c.x, c.y, {0.0f, 0.0f, 0.0f, 1.0f}, 1e30f);
        EXPECT_EQ(PositionSpy::value_at, std::vector<Position>{c.expected});
        EXPECT_EQ(out.calls, ALL_WRITES);
    }
}

// ---- A later failed activation ----------------------------------------------------------

TEST_F(CompositorInstance, WithoutAnImageListNothingCrashesAndPixelsStayAsRendered) {
    choose(image_named("depth.zb"), image_named("plate"));
    {
        host::OfferedService withdrawn("LW Image List 3", nullptr);
        ASSERT_EQ(activate_again(), ACTIVATE_BAD_GLOBALS);
    }
    EXPECT_EQ(filter.instance().describe(), "OBK_ZComp:  (unknown), (unknown)");
    try {
        filter.init();
        ADD_FAILURE() << "init accepted a missing image list";
    } catch (const host::HostError& error) {
        EXPECT_STREQ(error.what(), "OBK_ZComp:  Couldn't get the image list.");
    }
    const float rgba[4] = {0.1f, 0.2f, 0.3f, 0.4f};
    const test::PixelOutcome out = evaluate_at(0.0, 0.0, rgba, 1e30f);
    EXPECT_EQ(std::memcmp(out.rgba, rgba, sizeof rgba), 0);
    EXPECT_EQ(out.depth, 1e30f);
    EXPECT_EQ(out.calls, ALL_WRITES);

    host::SceneValues values;
    filter.instance().save(values);
    EXPECT_TRUE(values.empty());
    const ImageId depth = state().depth_image;
    filter.instance().load({host::ImageRef{"plate"}, host::ImageRef{"plate"}});
    EXPECT_EQ(state().depth_image, depth);

    ASSERT_EQ(activate_again(), ACTIVATE_OK);
    EXPECT_EQ(filter.instance().describe(), "OBK_ZComp:  depth.zb, plate");
    EXPECT_NO_THROW(filter.init());
}

// ---- Whole frames ------------------------------------------------------------------------

float rendered(int32_t buffer, int32_t x, int32_t y) {
    if (buffer == BUF_DEPTH) return (x * 7 + y * 3) % 13 == 0 ? NaN : static_cast<float>((x * 5 + y * 11) % 17);
    return static_cast<float>((x * (buffer - 30) + y * 3) % 10) / 10.0f;
}

float depth_sample(int32_t x, int32_t y, int32_t) {
    return (x + y) % 9 == 0 ? NaN : static_cast<float>((x * 3 + y * 7) % 19);
}

float comp_sample(int32_t x, int32_t y, int32_t c) { return static_cast<float>(x * 10 + y * 1000 + c); }

// The composite, pixel by pixel, as the compositing rule describes it.
host::RenderFrame reference_composite(const host::RenderFrame& input, const host::Image& depth, const host::Image& comp) {
    host::RenderFrame out = input;
    const auto position = [&](int32_t pixel, int32_t image_size, int32_t frame_size) {
        double value = pixel + 0.5;
        if (image_size != frame_size) value = pixel * static_cast<double>(static_cast<float>(double(image_size) / frame_size)) + 0.5;
        return std::clamp(static_cast<int32_t>(std::trunc(value)), 0, image_size - 1);
    };
    for (int32_t y = 0; y < input.height(); ++y) {
        for (int32_t x = 0; x < input.width(); ++x) {
            const float sample = depth.at(position(x, depth.width, input.width()), position(y, depth.height, input.height()));
            const float here = input.at(BUF_DEPTH, x, y);
            if (sample == here || sample > here) continue;
            const int32_t cx = position(x, comp.width, input.width());
            const int32_t cy = position(y, comp.height, input.height());
            for (int32_t c = 0; c < 3; ++c) out.at(BUF_RED + c, x, y) = comp.at(cx, cy, c);
            out.at(BUF_DEPTH, x, y) = sample;
        }
    }
    return out;
}

bool same_planes(const host::RenderFrame& a, const host::RenderFrame& b) {
    for (int32_t buffer : host::RenderFrame::BUFFERS) {
        if (std::memcmp(a.plane(buffer), b.plane(buffer), a.pixel_count() * sizeof(float)) != 0) return false;
    }
    return true;
}

TEST_F(CompositorInstance, FrameEqualsThePerPixelReferenceOnAnyNumberOfThreads) {
    constexpr int32_t W = 61, H = 37;
    scene.set_frame_size(W, H);
    const ImageId depth = images.add(test::make_image("depth.zb", 31, 19, 1, depth_sample));
    const ImageId comp = images.add(test::make_image("plate", 2 * W, 2 * H, 4, comp_sample));
    choose(depth, comp);

    host::RenderFrame input(W, H);
    for (int32_t buffer : host::RenderFrame::BUFFERS)
        for (int32_t y = 0; y < H; ++y)
            for (int32_t x = 0; x < W; ++x) input.at(buffer, x, y) = rendered(buffer, x, y);
    const host::RenderFrame expected = reference_composite(input, host::ImageList::image(depth), host::ImageList::image(comp));
    ASSERT_FALSE(same_planes(input, expected)) << "some pixels composite";

    for (int threads : {1, 2, 3}) {
        host::RenderFrame frame = input;
        {
            host::RenderPass pass(filter);
            pass.filter_frame(frame, 1, 0.0, threads);
        }
        EXPECT_TRUE(same_planes(frame, expected)) << threads << " threads";
    }
}

}  // namespace
