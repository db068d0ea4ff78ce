// The compositor's instance, render and per-pixel operations, through the
// real module file in the host.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "compositor_fixture.h"
#include "host/image_loader.h"
#include "host/scene_state.h"
#include "module/memory.h"
#include "zcomp/zcomp.h"

namespace {

using test::bits;
using test::CompositorTest;
using test::RecordedPixel;
using Refs = host::SceneValues;
using Position = std::pair<int32_t, int32_t>;

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();
constexpr int32_t I32_MAX = std::numeric_limits<int32_t>::max();
constexpr int32_t I32_MIN = std::numeric_limits<int32_t>::min();
const std::vector<std::string> ALL_CALLS = {"get 32 4", "get 12 1", "set_rgba", "set 12 1"};

// The error text that stops a render at init, or "" when it starts.
std::string render_error(host::PixelFilter& filter) {
    try {
        host::RenderPass pass(filter);
        return "";
    } catch (const host::HostError& error) {
        return error.what();
    }
}

TEST_F(CompositorTest, CreateGivesAFreshInstanceOrTheErrorText) {
    ZCompInstance fresh{};
    fresh.host_global = host::host_global;
    EXPECT_EQ(std::memcmp(&state(), &fresh, sizeof fresh), 0);
    EXPECT_EQ(filter.flags(), 4096u);

    obk_fail_allocation_after(1);
    const char* error = nullptr;
    EXPECT_EQ(zcomp_create(host::host_global, nullptr, &error), nullptr);
    obk_fail_allocation_after(0);
    EXPECT_STREQ(error, "OBK_ZComp:  Couldn't allocate instance data.");
}

TEST_F(CompositorTest, DescribeNamesDepthThenCompositeCutToTheBufferWithoutSplittingACharacter) {
    const std::string p = "OBK_ZComp:  ";
    const std::string none;
    const struct { std::string depth, comp, text; } cases[] = {
        {none, none, p + "(none), (none)"},
        {"depth.zb", none, p + "depth.zb, (none)"},
        {none, "plate", p + "(none), plate"},
        {"depth.zb", "plate", p + "depth.zb, plate"},
        {std::string(300, 'd'), std::string(300, 'c'), p + std::string(247, 'd')},
        {std::string(240, 'd'), std::string(300, 'c'), p + std::string(240, 'd') + ", ccccc"},
        {std::string(246, 'a') + "\xC3\xA9tude", "x", p + std::string(246, 'a')},  // 2-byte char at 258..259
        {std::string(245, 'a') + "\xE2\x82\xAC", "x", p + std::string(245, 'a')},   // 3-byte char at 257..259
        {std::string(245, 'a') + "\xC3\xA9", "x", p + std::string(245, 'a') + "\xC3\xA9"},  // ends at 258: fits
    };
    for (const auto& c : cases) {
        choose(c.depth.empty() ? nullptr : image(c.depth), c.comp.empty() ? nullptr : image(c.comp));
        const char* text = filter.instance().ops().describe(filter.instance().get());
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(text, state().description) << "the text lives in the instance";
    }
}

TEST_F(CompositorTest, SaveAndLoadCarryBothImagesByName) {
    const ImageId depth = image("depth.zb");
    const ImageId plate = image("plate");
    const struct { ImageId depth, comp; Refs written; } saves[] = {
        {depth, plate, {host::ImageRef{"depth.zb"}, host::ImageRef{"plate"}}},
        {depth, nullptr, {}},
        {nullptr, plate, {}},
    };
    for (const auto& c : saves) {
        choose(c.depth, c.comp);
        Refs values;
        filter.instance().save(values);
        EXPECT_EQ(values, c.written);
    }
    const struct { Refs stored; ImageId depth, comp; } loads[] = {
        {{host::ImageRef{"depth.zb"}, host::ImageRef{"plate"}}, depth, plate},
        {{host::ImageRef{"plate"}, host::ImageRef{"not loaded"}}, plate, nullptr},
        {{}, nullptr, nullptr},  // the scene of an instance with only one image chosen
    };
    for (const auto& c : loads) {
        host::Instance other(filter.instance().ops());
        auto& loaded = *static_cast<ZCompInstance*>(other.get());
        loaded.depth_image = loaded.comp_image = image("old");
        loaded.comp_scaled = 1;
        loaded.comp_scale_y = 3.5f;
        other.load(c.stored);
        EXPECT_EQ(loaded.depth_image, c.depth);
        EXPECT_EQ(loaded.comp_image, c.comp);
        EXPECT_EQ(loaded.comp_scaled, 1) << "flags and factors stay";
        EXPECT_EQ(loaded.comp_scale_y, 3.5f);
    }
}

TEST_F(CompositorTest, CopyReproducesTheWholeRecord) {
    choose(image("depth.zb"), image("plate"));
    state() = {state().host_global, state().depth_image, 1, 0.5f, 0.25f, state().comp_image, 1, 2.0f, 4.0f, {}};
    filter.instance().describe();
    host::Instance other(filter.instance().ops());
    other.copy_from(filter.instance());
    EXPECT_EQ(std::memcmp(other.get(), &state(), sizeof(ZCompInstance)), 0);

    const ZCompInstance before = state();
    filter.instance().copy_from(filter.instance());
    EXPECT_EQ(std::memcmp(&before, &state(), sizeof before), 0) << "copy onto itself";

    // A host that hands over no record gets nothing copied, from or to it.
    const InstanceOps& ops = filter.instance().ops();
    EXPECT_EQ(ops.copy(nullptr, filter.instance().get()), nullptr);
    EXPECT_EQ(ops.copy(filter.instance().get(), nullptr), nullptr);
    EXPECT_EQ(std::memcmp(&before, &state(), sizeof before), 0) << "copy from nothing";
}

TEST_F(CompositorTest, InitChecksTheDepthImageFirstThenTheCompositeImage) {
    const ImageId any = image("frame", 640, 480);
    const struct { ImageId depth, comp; std::string error; } cases[] = {
        {nullptr, nullptr, "OBK_ZComp:  No depth buffer file specified."},
        {nullptr, any, "OBK_ZComp:  No depth buffer file specified."},
        {any, nullptr, "OBK_ZComp:  No image to composite."},
        {any, any, ""},
    };
    for (const auto& c : cases) {
        choose(c.depth, c.comp);
        EXPECT_EQ(render_error(filter), c.error);
    }
}

TEST_F(CompositorTest, InitDerivesFlagsAndFactorsFromTheFrameSize) {
    constexpr float KEPT = 7.0f;
    const struct { int32_t frame_w, frame_h, image_w, image_h, scaled; float x, y; } cases[] = {
        {640, 480, 640, 480, 0, KEPT, KEPT},  // same size: factors untouched
        {640, 480, 1280, 480, 1, 2.0f, 1.0f},
        {640, 480, 320, 240, 1, 0.5f, 0.5f},
        {640, 480, 640, 481, 1, 1.0f, float(481.0 / 480.0)},
        {16777217, 1, 1, 1, 1, float(1.0 / 16777217.0), 1.0f},  // 2^-24 if divided in float
        {0, 0, 640, 480, 1, 0.0f, 0.0f},  // no pixels: 0 rather than an infinity
        {0, 480, 640, 480, 1, 0.0f, 1.0f},
    };
    ASSERT_NE(float(1.0 / 16777217.0), 1.0f / 16777217.0f);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.image_w) + "x" + std::to_string(c.image_h) + " in " +
                     std::to_string(c.frame_w) + "x" + std::to_string(c.frame_h));
        const ImageId tested = image(std::to_string(c.image_w) + "x" + std::to_string(c.image_h), c.image_w, c.image_h);
        scene.set_frame_size(c.frame_w, c.frame_h);
        for (const bool as_depth : {true, false}) {
            choose(as_depth ? tested : image("other"), as_depth ? image("other") : tested);
            state().depth_scale_x = state().depth_scale_y = state().comp_scale_x = state().comp_scale_y = KEPT;
            filter.init();
            const ZCompInstance& s = state();
            EXPECT_EQ(as_depth ? s.depth_scaled : s.comp_scaled, c.scaled);
            EXPECT_EQ(bits(as_depth ? s.depth_scale_x : s.comp_scale_x), bits(c.x));
            EXPECT_EQ(bits(as_depth ? s.depth_scale_y : s.comp_scale_y), bits(c.y));
        }
    }
    // Without scene information init succeeds and changes nothing.
    const ZCompInstance before = state();
    host::OfferedService withdrawn("LW Scene Info 2", nullptr);
    scene.set_frame_size(1, 1);
    EXPECT_NO_THROW(filter.init());
    EXPECT_EQ(std::memcmp(&before, &state(), sizeof before), 0);
}

TEST_F(CompositorTest, NearerDepthImageTakesCompositeColourAndItsDepthAndKeepsAlpha) {
    const struct { const char* name; float sample, rgba[4], depth; bool composites; } cases[] = {
        {"equal depth", 5.0f, {0.1f, 0.2f, 0.3f, 0.6f}, 5.0f, false},
        {"farther depth image", 6.0f, {0.1f, 0.2f, 0.3f, 0.6f}, 5.0f, false},
        {"signed zeros", -0.0f, {0.1f, 0.2f, 0.3f, 1.0f}, 0.0f, false},
        {"infinities", INF, {0.1f, 0.2f, 0.3f, 1.0f}, INF, false},
        {"nearer depth image", 4.0f, {0.1f, 0.2f, 0.3f, 0.6f}, 5.0f, true},
        {"uncovered background", 3.0f, {0.0f, 0.0f, 0.0f, 0.0f}, 1e30f, true},
        {"NaN sample", NaN, {0.1f, 0.2f, 0.3f, 0.6f}, 5.0f, true},
        {"NaN rendered depth", 2.0f, {0.1f, 0.2f, 0.3f, 0.6f}, NaN, true},
    };
    const int32_t count = int32_t(std::size(cases));
    const float comp[4] = {0.25f, 0.5f, 0.75f, 0.9f};
    scene.set_frame_size(count, 1);
    choose(image("depth", count, 1, 1, [&](int32_t x, int32_t, int32_t) { return cases[x].sample; }),
           image("comp", count, 1, 4, [&](int32_t, int32_t, int32_t ch) { return comp[ch]; }));
    filter.init();
    for (int32_t x = 0; x < count; ++x) {
        const auto& c = cases[x];
        SCOPED_TRACE(c.name);
        const RecordedPixel out = evaluate_at(x, 0.0, c.rgba, c.depth);
        for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(bits(out.rgba[ch]), bits(c.composites ? comp[ch] : c.rgba[ch]));
        EXPECT_EQ(bits(out.rgba[3]), bits(c.rgba[3])) << "alpha stays as rendered";
        EXPECT_EQ(bits(out.depth), bits(c.composites ? c.sample : c.depth));
        EXPECT_EQ(out.calls, ALL_CALLS) << "colour and depth are written back on every path";
    }
}

// Offers the host's image list with image_value and image_rgb recording the
// positions that evaluate asks for.
class CompositorMapping : public CompositorTest {
protected:
    inline static ImageListService real{};
    inline static std::vector<Position> value_at, rgb_at;

    CompositorMapping() {
        real = *images.service();
        spy_ = real;
        spy_.image_value = [](ImageId id, int32_t x, int32_t y) {
            value_at.emplace_back(x, y);
            return real.image_value(id, x, y);
        };
        spy_.image_rgb = [](ImageId id, int32_t x, int32_t y, float rgb[3]) {
            rgb_at.emplace_back(x, y);
            real.image_rgb(id, x, y, rgb);
        };
        EXPECT_EQ(activate_again(), ACTIVATE_OK);
    }

    // Depth values x + 1000 y, always nearer than the rendered 1e30 depth, so
    // that both images are sampled.
    void choose_sizes(int32_t depth_w, int32_t depth_h, int32_t comp_w, int32_t comp_h) {
        const auto size = [](int32_t w, int32_t h) { return std::to_string(w) + "x" + std::to_string(h); };
        choose(image("depth " + size(depth_w, depth_h), depth_w, depth_h, 1,
                     [](int32_t x, int32_t y, int32_t) { return float(x + 1000 * y); }),
               image("comp " + size(comp_w, comp_h), comp_w, comp_h, 3));
        filter.init();
        value_at.clear();
        rgb_at.clear();
    }

private:
    ImageListService spy_{};
    host::OfferedService offer_spy_{"LW Image List 3", &spy_};
};

TEST_F(CompositorMapping, PositionsAreScaledShiftedByAHalfTruncatedAndSaturated) {
    constexpr double DNaN = std::numeric_limits<double>::quiet_NaN();
    constexpr double DINF = std::numeric_limits<double>::infinity();
    const struct { int32_t depth_w, depth_h, comp_w, comp_h; double x, y; Position in_depth, in_comp; } cases[] = {
        {640, 480, 640, 480, 10.0, 20.0, {10, 20}, {10, 20}},
        {320, 240, 640, 480, 639.0, 479.0, {320, 240}, {639, 479}},  // one past the image: the host clamps
        {640, 480, 1280, 960, 7.0, 5.0, {7, 5}, {14, 10}},
        {1280, 480, 1280, 480, 7.0, 5.0, {14, 5}, {14, 5}},  // scaled across only
        {320, 240, 640, 480, 21.0, 3.0, {11, 2}, {21, 3}},
        {640, 480, 640, 480, 10.49, 10.5, {10, 11}, {10, 11}},
        {640, 480, 640, 480, -0.7, -1.7, {0, -1}, {0, -1}},  // toward zero, not down
        {640, 480, 640, 480, 1e12, -1e12, {I32_MAX, I32_MIN}, {I32_MAX, I32_MIN}},
        {640, 480, 640, 480, DNaN, DINF, {0, I32_MAX}, {0, I32_MAX}},
        {640, 480, 640, 480, 2147483646.9, -2147483648.9, {I32_MAX, I32_MIN}, {I32_MAX, I32_MIN}},
        {640, 480, 640, 480, 2147483647.5, -2147483649.7, {I32_MAX, I32_MIN}, {I32_MAX, I32_MIN}},
        {320, 240, 640, 480, 1e300, -DINF, {I32_MAX, I32_MIN}, {I32_MAX, I32_MIN}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.x) + ", " + std::to_string(c.y));
        choose_sizes(c.depth_w, c.depth_h, c.comp_w, c.comp_h);
        const RecordedPixel out = evaluate_at(c.x, c.y, {0.0f, 0.0f, 0.0f, 1.0f}, 1e30f);
        EXPECT_EQ(value_at, std::vector<Position>{c.in_depth});
        EXPECT_EQ(rgb_at, std::vector<Position>{c.in_comp});
        const auto edge = [](int32_t v, int32_t size) { return float(std::clamp(v, 0, size - 1)); };
        EXPECT_EQ(out.depth, edge(c.in_depth.first, c.depth_w) + 1000 * edge(c.in_depth.second, c.depth_h));
    }
}

TEST_F(CompositorTest, WithoutAnImageListNothingCrashesAndPixelsStayAsRendered) {
    choose(image("depth.zb"), image("plate"));
    {
        host::OfferedService withdrawn("LW Image List 3", nullptr);
        ASSERT_EQ(activate_again(), ACTIVATE_BAD_GLOBALS);
    }
    EXPECT_EQ(filter.instance().describe(), "OBK_ZComp:  (unknown), (unknown)");
    EXPECT_EQ(render_error(filter), "OBK_ZComp:  Couldn't get the image list.");
    const RecordedPixel out = evaluate_at(0.0, 0.0, {0.1f, 0.2f, 0.3f, 0.4f}, 1e30f);
    EXPECT_EQ(std::vector<float>(out.rgba, out.rgba + 4), (std::vector<float>{0.1f, 0.2f, 0.3f, 0.4f}));
    EXPECT_EQ(out.depth, 1e30f);
    EXPECT_EQ(out.calls, ALL_CALLS);
    Refs values;
    filter.instance().save(values);
    EXPECT_TRUE(values.empty());
    filter.instance().load({host::ImageRef{"plate"}, host::ImageRef{"plate"}});
    EXPECT_EQ(state().depth_image, image("depth.zb")) << "nothing to resolve the references with";

    ASSERT_EQ(activate_again(), ACTIVATE_OK);
    EXPECT_EQ(filter.instance().describe(), "OBK_ZComp:  depth.zb, plate");
    EXPECT_EQ(render_error(filter), "");
}

// ---- Whole frames ------------------------------------------------------------

float rendered(int32_t buffer, int32_t x, int32_t y) {
    if (buffer == BUF_DEPTH) return (x * 7 + y * 3) % 13 == 0 ? NaN : float((x * 5 + y * 11) % 17);
    return float((x * (buffer - 30) + y * 3) % 10) / 10.0f;
}

float& at(host::Frame& frame, int32_t buffer, int32_t x, int32_t y) {
    return frame.samples(buffer)[std::size_t(y) * std::size_t(frame.width()) + std::size_t(x)];
}

// The composite pixel by pixel, as the compositing rule states it.
host::Frame reference_composite(const host::Frame& input, const host::Image& depth, const host::Image& comp) {
    host::Frame out = input;
    const auto position = [](int32_t pixel, int32_t image_size, int32_t frame_size) {
        const float factor = float(double(image_size) / double(frame_size));
        const double at = image_size == frame_size ? pixel + 0.5 : pixel * double(factor) + 0.5;
        return std::clamp(int32_t(std::trunc(at)), 0, image_size - 1);
    };
    for (int32_t y = 0; y < input.height(); ++y) {
        for (int32_t x = 0; x < input.width(); ++x) {
            const float sample = depth.at(position(x, depth.width, input.width()), position(y, depth.height, input.height()));
            const float here = at(out, BUF_DEPTH, x, y);
            if (sample == here || sample > here) continue;
            const int32_t cx = position(x, comp.width, input.width());
            const int32_t cy = position(y, comp.height, input.height());
            for (int32_t ch = 0; ch < 3; ++ch) at(out, BUF_RED + ch, x, y) = comp.at(cx, cy, ch);
            at(out, BUF_DEPTH, x, y) = sample;
        }
    }
    return out;
}

bool same_buffers(const host::Frame& a, const host::Frame& b) {
    for (int32_t buffer : host::Frame::ALL_BUFFERS) {
        if (std::memcmp(a.samples(buffer).data(), b.samples(buffer).data(), a.samples(buffer).size_bytes()) != 0) return false;
    }
    return true;
}

// A depth file of 31 x 19 samples, some of them NaN, as the depth loader reads it.
test::Bytes depth_file_bytes() {
    test::HeaderFields header;
    header.width = 31;
    header.height = 19;
    const uint32_t body = header.width * header.height * 4;
    test::ByteBuilder b;
    b.id("FORM").u32(body + 56).id("ILBM");
    test::add_zbuf_chunk(b, header).id("ZBOD").u32(body);
    for (uint32_t y = 0; y < header.height; ++y)
        for (uint32_t x = 0; x < header.width; ++x) b.f32((x + y) % 9 == 0 ? NaN : float((x * 3 + y * 7) % 19));
    return b.bytes();
}

TEST_F(CompositorTest, FrameEqualsThePerPixelReferenceOnAnyNumberOfThreads) {
    constexpr int32_t W = 61, H = 37;
    scene.set_frame_size(W, H);
    test::TempDir dir;
    test::write_file(dir / "depth0001.zb", depth_file_bytes());
    host::ImageLoad load = host::load_depth_image(*module, (dir / "depth0001.zb").string());
    ASSERT_EQ(load.status, STATUS_OK);
    const ImageId depth = images.add(std::move(*load.image));
    const ImageId comp = image("plate", 2 * W, 2 * H, 4, [](int32_t x, int32_t y, int32_t ch) { return float(x * 10 + y * 1000 + ch); });
    choose(depth, comp);
    host::Frame input(W, H, 1);
    for (int32_t buffer : host::Frame::ALL_BUFFERS)
        for (int32_t y = 0; y < H; ++y)
            for (int32_t x = 0; x < W; ++x) at(input, buffer, x, y) = rendered(buffer, x, y);
    const host::Frame expected = reference_composite(input, host::ImageList::image(depth), host::ImageList::image(comp));
    ASSERT_FALSE(same_buffers(input, expected)) << "some pixels composite";

    for (int threads : {1, 2, 3}) {
        host::Frame frame = input;
        host::RenderPass(filter).filter_frame(frame, 0.0, threads);
        EXPECT_TRUE(same_buffers(frame, expected)) << threads << " threads";
    }
}

TEST_F(CompositorTest, FramesWithoutColourBuffersOrPixelsAreFilteredSafely) {
    scene.set_frame_size(3, 2);
    choose(image("depth", 3, 2, 1, [](int32_t x, int32_t, int32_t) { return float(x); }), image("plate", 3, 2, 3));
    const std::array<int32_t, 1> depth_only = {BUF_DEPTH};
    host::Frame frame(3, 2, 1, depth_only);
    for (float& depth : frame.samples(BUF_DEPTH)) depth = 1.5f;
    host::Frame empty_rows(0, 5, 2), empty_columns(4, 0, 3);
    {
        host::RenderPass pass(filter);
        pass.filter_frame(frame, 0.0, 2);
        pass.filter_frame(empty_rows, 0.0, 2);
        pass.filter_frame(empty_columns, 0.0, 2);
    }
    const auto depth = frame.samples(BUF_DEPTH);
    EXPECT_EQ(std::vector<float>(depth.begin(), depth.end()), (std::vector<float>{0, 1, 1.5f, 0, 1, 1.5f}));
    EXPECT_FALSE(frame.has(BUF_RED));
}

}  // namespace
