// `zhost comp`, `zhost render` and `zhost demo` run as a user runs them:
// compositing agrees pixel for pixel with an independent depth merge, scene
// settings survive a round trip through the servers' own save and load, and
// refusals are one line, exit status 1, and no output.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <fstream>
#include <limits>
#include <tuple>

#include "obk_version.h"

#include "zhost_test_support.h"

namespace {

using ztest::run_zhost;
namespace fs = std::filesystem;
using ztest::contains;
using ztest::line_count;
using ztest::run_in;

std::vector<float> read_pixels(const fs::path& path, int expected_channels) {
    auto in = OIIO::ImageInput::open(path.string());
    EXPECT_TRUE(in) << path;
    if (!in) return {};
    EXPECT_EQ(in->spec().nchannels, expected_channels) << path;
    std::vector<float> pixels(std::size_t(in->spec().width * in->spec().height * in->spec().nchannels));
    EXPECT_TRUE(in->read_image(0, 0, 0, in->spec().nchannels, OIIO::TypeDesc::FLOAT, pixels.data()));
    return pixels;
}

void write_text(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

constexpr int W = 9, H = 6;

// Render depths and depth-image values chosen so that every pixel meets one
// case: nearer, farther, equal, and infinities.
float render_depth(int i) { return float(i % 7) + 1.0f; }
float image_depth(int i) {
    switch (i % 5) {
    case 0: return render_depth(i);  // a tie keeps the render
    case 1: return render_depth(i) - 0.5f;
    case 2: return render_depth(i) + 0.5f;
    case 3: return -std::numeric_limits<float>::infinity();
    default: return std::numeric_limits<float>::infinity();
    }
}

struct Inputs {
    std::vector<float> render;  // R, G, B, A, Z
    std::vector<float> depth;   // one channel
    std::vector<float> comp;    // R, G, B, A
};

Inputs make_inputs() {
    Inputs in;
    for (int i = 0; i < W * H; ++i) {
        for (int c = 0; c < 4; ++c) in.render.push_back(ztest::sample(i, c));
        in.render.push_back(render_depth(i));
        in.depth.push_back(image_depth(i));
        for (int c = 0; c < 4; ++c) in.comp.push_back(ztest::sample(i, c) + 1000.0f);
    }
    return in;
}

// The merge written from the rule, independently of the module: where the
// depth image is strictly nearer, the composite's colour and the image's
// depth; the rendered alpha stays; ties and farther values keep the render.
std::vector<float> expected_merge(const Inputs& in) {
    std::vector<float> out;
    for (int i = 0; i < W * H; ++i) {
        const bool nearer = in.depth[std::size_t(i)] < in.render[std::size_t(i * 5 + 4)];
        for (int c = 0; c < 3; ++c) out.push_back(nearer ? in.comp[std::size_t(i * 4 + c)] : in.render[std::size_t(i * 5 + c)]);
        out.push_back(in.render[std::size_t(i * 5 + 3)]);
        out.push_back(nearer ? in.depth[std::size_t(i)] : in.render[std::size_t(i * 5 + 4)]);
    }
    return out;
}

void write_inputs(const test::TempDir& dir, const Inputs& in) {
    ztest::write_image((dir / "render.exr").string(), W, H, {"R", "G", "B", "A", "Z"}, in.render);
    ztest::write_image((dir / "depth.exr").string(), W, H, {"Z"}, in.depth);
    ztest::write_image((dir / "comp.exr").string(), W, H, {"R", "G", "B", "A"}, in.comp);
}

TEST(ZhostComp, AgreesOnEveryPixelWithAnIndependentDepthMerge) {
    test::TempDir dir;
    const Inputs in = make_inputs();
    write_inputs(dir, in);
    const std::vector<float> expected = expected_merge(in);
    ASSERT_EQ(run_zhost({"save", "depth.exr", "--base", "zb"}, dir.path()).status, 0);
    // The depth image as a float image and as a depth file through the loader,
    // on one thread and on several.
    for (const char* zbuffer : {"depth.exr", "zb0001.zb"}) {
        for (const char* threads : {"1", "3"}) {
            const ztest::RunResult run = run_zhost({"comp", "--render", "render.exr", "--zbuffer", zbuffer, "--comp",
                                                    "comp.exr", "-o", "out.exr", "--threads", threads},
                                                   dir.path());
            ASSERT_EQ(run.status, 0) << zbuffer << ": " << run.err;
            EXPECT_EQ(ztest::bits_of(read_pixels(dir / "out.exr", 5)), ztest::bits_of(expected))
                << zbuffer << " on " << threads << " threads";
        }
    }
}

TEST(ZhostComp, TakesTheRenderDepthFromASeparateImage) {
    test::TempDir dir;
    Inputs in = make_inputs();
    write_inputs(dir, in);
    std::vector<float> colour, z;
    for (int i = 0; i < W * H; ++i) {
        for (int c = 0; c < 4; ++c) colour.push_back(in.render[std::size_t(i * 5 + c)]);
        z.push_back(in.render[std::size_t(i * 5 + 4)]);
    }
    ztest::write_image((dir / "colour.tif").string(), W, H, {"R", "G", "B", "A"}, colour);
    ztest::write_image((dir / "z.exr").string(), W, H, {"Z"}, z);
    const ztest::RunResult run = run_in(dir.path(), {"comp", "--render", "colour.tif", "--render-depth", "z.exr",
                                                     "--zbuffer", "depth.exr", "--comp", "comp.exr", "-o", "out.tif"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ztest::bits_of(read_pixels(dir / "out.tif", 5)), ztest::bits_of(expected_merge(in)));
}

TEST(ZhostComp, ImagesOfOtherSizesAreScaledToTheFrame) {
    test::TempDir dir;
    Inputs in = make_inputs();
    write_inputs(dir, in);
    // A depth image twice the frame's size, nearer everywhere; a one-colour
    // composite image half its size.
    ztest::write_image((dir / "big.exr").string(), 2 * W, 2 * H, {"Z"}, std::vector<float>(4 * W * H, -1.0f));
    const int cw = (W + 1) / 2, ch = (H + 1) / 2;
    std::vector<float> grey(std::size_t(cw * ch * 3), 0.5f);
    ztest::write_image((dir / "small.exr").string(), cw, ch, {"R", "G", "B"}, grey);
    const ztest::RunResult run =
        run_in(dir.path(), {"comp", "--render", "render.exr", "--zbuffer", "big.exr", "--comp", "small.exr", "-o", "o.exr"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<float> out = read_pixels(dir / "o.exr", 5);
    for (int i = 0; i < W * H; ++i) {
        EXPECT_EQ(ztest::bits(out[std::size_t(i * 5)]), ztest::bits(0.5f)) << i;
        EXPECT_EQ(ztest::bits(out[std::size_t(i * 5 + 3)]), ztest::bits(in.render[std::size_t(i * 5 + 3)])) << i;
        EXPECT_EQ(ztest::bits(out[std::size_t(i * 5 + 4)]), ztest::bits(-1.0f)) << i;
    }
    EXPECT_EQ(run.err, "note: depth image 18x12 scaled to the 9x6 frame\nnote: comp image 5x3 scaled to the 9x6 frame\n");
}

void expect_refused(const test::TempDir& dir, const std::vector<std::string>& args, const std::string& reason) {
    ztest::expect_refused(dir.path(), args, reason);
}

TEST(ZhostComp, RefusalsSayWhyAndLeaveNothing) {
    test::TempDir dir;
    write_inputs(dir, make_inputs());
    ztest::write_image((dir / "narrow.exr").string(), W - 1, H, {"Z"}, std::vector<float>((W - 1) * H, 1.0f));
    ztest::write_image((dir / "rgb.exr").string(), W, H, {"R", "G", "B"}, ztest::samples(W * H, 3));
    test::HeaderFields compressed;
    compressed.compression = 1;
    test::write_file(dir / "bad.zb", test::depth_file(compressed));
    auto comp = [](const std::string& render, const std::string& zbuffer, const std::string& image,
                   const std::string& out) {
        return std::vector<std::string>{"comp", "--render", render, "--zbuffer", zbuffer, "--comp", image, "-o", out};
    };
    expect_refused(dir, comp("missing.exr", "depth.exr", "comp.exr", "o.exr"), "missing.exr: no such file");
    expect_refused(dir, comp("comp.exr", "depth.exr", "comp.exr", "o.exr"), "comp.exr: no Z channel");
    expect_refused(dir, comp("render.exr", "rgb.exr", "comp.exr", "o.exr"), "rgb.exr: no Z channel");
    expect_refused(dir, comp("render.exr", "bad.zb", "comp.exr", "o.exr"), "bad.zb: not a depth file: compression is 1");
    expect_refused(dir, comp("render.exr", "depth.exr", "gone.png", "o.exr"), "gone.png: no such file");
    expect_refused(dir, comp("render.exr", "depth.exr", "comp.exr", "nowhere/o.exr"), "nowhere/o.exr: cannot write");
    expect_refused(dir, comp("render.exr", "depth.exr", "comp.exr", "o.pfm"), "PFM holds no alpha");
    std::vector<std::string> split = comp("render.exr", "depth.exr", "comp.exr", "o.exr");
    split.insert(split.end(), {"--render-depth", "narrow.exr"});
    expect_refused(dir, split, "size 8x6 differs from 9x6");
    ztest::write_image((dir / "two-z.exr").string(), W, H, {"R", "G", "B", "A", "left.Z", "right.Z"},
                       ztest::samples(W * H, 6));
    expect_refused(dir, comp("two-z.exr", "depth.exr", "comp.exr", "o.exr"),
                   "two-z.exr: 2 candidate Z channels (left.Z, right.Z); choose one with --depth-channel");
    std::vector<std::string> part = comp("render.exr", "depth.exr", "comp.exr", "o.exr");
    part.insert(part.end(), {"--subimage", "beauty"});
    expect_refused(dir, part, "render.exr: no part \"beauty\" for --subimage (parts: 0)");

    // Output options the output cannot take are usage errors, found before any work.
    for (const auto& [out, option, value] : {std::tuple{"o.png", "-d", "half"}, {"o.exr", "-d", "double"},
                                              {"o.exr", "--compression", "lzw"}, {"o.png", "--compression", "zip"}}) {
        std::vector<std::string> args = comp("missing.exr", "depth.exr", "comp.exr", out);
        args.insert(args.end(), {option, value});
        const ztest::RunResult run = run_in(dir.path(), args);
        EXPECT_EQ(run.status, 2) << out << " " << option << " " << value << ": " << run.err;
        EXPECT_TRUE(contains(run.err, option)) << run.err;
    }
}

// A render written with OpenImageIO: R, G, B, A in `colour` and Z in `depth`
// types, each pixel (value, value, value, 1, 1), with metadata of a renderer.
void write_typed_render(const fs::path& path, OIIO::TypeDesc colour, OIIO::TypeDesc depth, float value) {
    OIIO::ImageSpec spec(W, H, 5, OIIO::TypeDesc::FLOAT);
    spec.channelnames = {"R", "G", "B", "A", "Z"};
    spec.channelformats = {colour, colour, colour, colour, depth};
    spec.attribute("compression", "piz");
    spec.attribute("renderer:samples", 64);
    spec.attribute("Exif:ImageHistory", "rendered");
    const float camera[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 5, 1};
    spec.attribute("worldToCamera", OIIO::TypeMatrix44, camera);
    std::vector<float> pixels;
    for (int i = 0; i < W * H; ++i) pixels.insert(pixels.end(), {value, value, value, 1.0f, 1.0f});
    auto out = OIIO::ImageOutput::create(path.string());
    ASSERT_TRUE(out && out->open(path.string(), spec) && out->write_image(OIIO::TypeDesc::FLOAT, pixels.data()) &&
                out->close());
}

// Outputs keep the render's channel types, compression and metadata unless
// told otherwise, and name zhost; 8-bit outputs are sRGB.
TEST(ZhostComp, OutputsFollowTheRender) {
    test::TempDir dir;
    write_inputs(dir, make_inputs());  // depth.exr (beyond the render where it is not infinite) and comp.exr
    ztest::write_image((dir / "far.exr").string(), W, H, {"Z"}, std::vector<float>(W * H, 2.0f));
    constexpr OIIO::TypeDesc HALF = OIIO::TypeDesc::HALF, FLOAT = OIIO::TypeDesc::FLOAT;
    struct Case {
        OIIO::TypeDesc colour, depth;
        std::vector<std::string> options;
        const char* out;
        OIIO::TypeDesc colour_out, depth_out;
        const char* compression;
    };
    const Case cases[] = {
        {HALF, HALF, {}, "o.exr", HALF, HALF, "piz"},
        {HALF, FLOAT, {}, "o.exr", HALF, FLOAT, "piz"},
        {HALF, HALF, {"-d", "float"}, "o.exr", FLOAT, FLOAT, "piz"},
        {FLOAT, FLOAT, {"-d", "half", "--compression", "zips"}, "o.exr", HALF, HALF, "zips"},
        {HALF, HALF, {"--compression", "none"}, "o.tif", FLOAT, FLOAT, "none"},  // TIFF as OpenImageIO writes it
        {HALF, FLOAT, {}, "o.tif", FLOAT, FLOAT, "zip"},
    };
    for (const Case& c : cases) {
        write_typed_render(dir / "render.exr", c.colour, c.depth, 0.5f);
        std::vector<std::string> args = {"comp", "--render", "render.exr", "--zbuffer", "far.exr", "--comp",
                                         "comp.exr", "-o", c.out};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const ztest::RunResult run = run_in(dir.path(), args);
        ASSERT_EQ(run.status, 0) << run.err;
        auto in = OIIO::ImageInput::open((dir / c.out).string());
        ASSERT_TRUE(in);
        const OIIO::ImageSpec& spec = in->spec();
        const std::string what = std::string(c.out) + " " + std::to_string(c.options.size()) + " options";
        for (int ch = 0; ch < spec.nchannels; ++ch) {
            EXPECT_EQ(spec.channelformat(ch), spec.channelnames[std::size_t(ch)] == "Z" ? c.depth_out : c.colour_out)
                << what << " " << spec.channelnames[std::size_t(ch)];
        }
        EXPECT_EQ(spec.get_string_attribute("compression"), c.compression) << what;
        EXPECT_EQ(spec.get_string_attribute("Software"), "zhost " OBK_VERSION) << what;
        if (c.out == std::string("o.exr")) {  // TIFF as OpenImageIO writes it has no history or custom attributes
            const std::string history = spec.get_string_attribute("Exif:ImageHistory");
            EXPECT_EQ(history.rfind("rendered\nzhost ", 0), 0u) << what << ": " << history;
            EXPECT_TRUE(contains(history, " comp --render render.exr --zbuffer far.exr")) << what << ": " << history;
            EXPECT_EQ(spec.get_int_attribute("renderer:samples"), 64) << what;
            const OIIO::ParamValue* camera = spec.find_attribute("worldToCamera", OIIO::TypeMatrix44);
            ASSERT_NE(camera, nullptr) << what;
            EXPECT_EQ(static_cast<const float*>(camera->data())[14], 5.0f) << what;
        }
    }

    // Linear 0.5 in an 8-bit output: 188 after the sRGB transfer, tagged sRGB.
    const ztest::RunResult png = run_in(dir.path(), {"comp", "--render", "render.exr", "--zbuffer", "far.exr", "--comp",
                                                     "comp.exr", "-o", "o.png"});
    ASSERT_EQ(png.status, 0) << png.err;
    EXPECT_EQ(png.out, "wrote o.png  (9x6)\n");
    auto in = OIIO::ImageInput::open((dir / "o.png").string());
    ASSERT_TRUE(in);
    EXPECT_EQ(in->spec().get_string_attribute("oiio:ColorSpace"), "sRGB");
    std::vector<uint8_t> bytes(std::size_t(W * H * in->spec().nchannels));
    ASSERT_TRUE(in->read_image(0, 0, 0, -1, OIIO::TypeDesc::UINT8, bytes.data()));
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4), (std::vector<uint8_t>{188, 188, 188, 255}));
}

// A render whose data window covers only part of the frame composites as the
// whole frame with zero colour and alpha and infinite depth around it.
TEST(ZhostComp, ARenderWithAnOffsetDataWindowCompositesLikeThePixelAlignedOne) {
    test::TempDir dir;
    Inputs in = make_inputs();
    const int x0 = 2, y0 = 1, width = 5, height = 3;
    std::vector<float> cropped;
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
            float* pixel = &in.render[std::size_t((y * W + x) * 5)];
            if (x >= x0 && x < x0 + width && y >= y0 && y < y0 + height) {
                cropped.insert(cropped.end(), pixel, pixel + 5);
            } else {
                std::fill(pixel, pixel + 4, 0.0f);
                pixel[4] = std::numeric_limits<float>::infinity();
            }
        }
    }
    write_inputs(dir, in);
    OIIO::ImageSpec spec(width, height, 5, OIIO::TypeDesc::FLOAT);
    spec.x = x0;
    spec.y = y0;
    spec.full_width = W;
    spec.full_height = H;
    spec.channelnames = {"R", "G", "B", "A", "Z"};
    auto out = OIIO::ImageOutput::create((dir / "cropped.exr").string());
    ASSERT_TRUE(out && out->open((dir / "cropped.exr").string(), spec) &&
                out->write_image(OIIO::TypeDesc::FLOAT, cropped.data()) && out->close());
    for (const char* render : {"render.exr", "cropped.exr"}) {
        const std::string output = std::string("o-") + render;
        const ztest::RunResult run = run_in(dir.path(), {"comp", "--render", render, "--zbuffer", "depth.exr", "--comp",
                                                         "comp.exr", "-o", output});
        ASSERT_EQ(run.status, 0) << run.err;
    }
    EXPECT_EQ(ztest::bits_of(read_pixels(dir / "o-cropped.exr", 5)), ztest::bits_of(read_pixels(dir / "o-render.exr", 5)));
    EXPECT_EQ(ztest::bits_of(read_pixels(dir / "o-cropped.exr", 5)), ztest::bits_of(expected_merge(in)));
}

// The render's colour from a layer or a part, its depth from a named channel.
TEST(ZhostComp, TakesTheRendersLayerPartOrDepthChannelAsAsked) {
    test::TempDir dir;
    const Inputs in = make_inputs();
    write_inputs(dir, in);
    std::vector<float> decoy(in.render.size(), 0.125f), layered;
    for (std::size_t i = 0; i < in.render.size(); i += 5) {
        layered.insert(layered.end(), &decoy[i], &decoy[i + 5]);
        layered.insert(layered.end(), &in.render[i], &in.render[i + 5]);
    }
    ztest::write_image((dir / "layers.exr").string(), W, H,
                       {"spec.R", "spec.G", "spec.B", "spec.A", "spec.Z", "beauty.R", "beauty.G", "beauty.B", "beauty.A", "beauty.Z"},
                       layered);
    ztest::write_image((dir / "named.exr").string(), W, H, {"R", "G", "B", "A", "distance"}, in.render);
    {
        std::vector<OIIO::ImageSpec> specs(2, OIIO::ImageSpec(W, H, 5, OIIO::TypeDesc::FLOAT));
        for (OIIO::ImageSpec& spec : specs) spec.channelnames = {"R", "G", "B", "A", "Z"};
        const std::string path = (dir / "parts.exr").string();
        auto out = OIIO::ImageOutput::create(path);
        ASSERT_TRUE(out && out->open(path, 2, specs.data()) && out->write_image(OIIO::TypeDesc::FLOAT, decoy.data()) &&
                    out->open(path, specs[1], OIIO::ImageOutput::AppendSubimage) &&
                    out->write_image(OIIO::TypeDesc::FLOAT, in.render.data()) && out->close());
    }
    const std::vector<std::vector<std::string>> choices = {
        {"--render", "layers.exr", "--render-layer", "beauty"},
        {"--render", "named.exr", "--depth-channel", "distance"},
        {"--render", "parts.exr", "--subimage", "1"},
    };
    for (const std::vector<std::string>& choice : choices) {
        std::vector<std::string> args = {"comp", "--zbuffer", "depth.exr", "--comp", "comp.exr", "-o", "out.exr"};
        args.insert(args.end(), choice.begin(), choice.end());
        const ztest::RunResult run = run_in(dir.path(), args);
        ASSERT_EQ(run.status, 0) << choice[1] << ": " << run.err;
        EXPECT_EQ(ztest::bits_of(read_pixels(dir / "out.exr", 5)), ztest::bits_of(expected_merge(in))) << choice[1];
    }
}

// A scene of two frames: render inputs per frame, the depth image as a
// sequence of depth files, the composite image fixed; the compositor's
// images chosen in its panel on the command line; the saver after it.
void write_scene_inputs(const test::TempDir& dir, const Inputs& in) {
    for (int frame = 1; frame <= 2; ++frame) {
        const std::string n = std::to_string(frame);
        ztest::write_image((dir / ("render." + n + ".exr")).string(), W, H, {"R", "G", "B", "A", "Z"}, in.render);
        ztest::write_image((dir / ("depth." + n + ".exr")).string(), W, H, {"Z"}, in.depth);
    }
    ztest::write_image((dir / "comp.exr").string(), W, H, {"R", "G", "B", "A"}, in.comp);
}

const char* const SCENE = R"({
  "frames": "1-2",
  "size": "9x6",
  "render": {"rgba": "render.%d.exr"},
  "images": [{"name": "zb", "file": "depth.%d.exr"}, {"name": "comp", "file": "comp.exr"}],
  "pixel_filters": [{"server": "OBK_ZComp"}],
  "image_filters": [{"server": "OBK_ZSave", "answers": {"path": "saved/z"}}],
  "output": "out/frame.#.exr"
})";

// The saver is driven one way: save and render refuse a base alike.
TEST(ZhostRender, SaveAndRenderSayTheSameForTheSameSaverFailure) {
    test::TempDir dir;
    write_scene_inputs(dir, make_inputs());
    fs::create_directories(dir / "out");
    for (const std::string& base : {"out/" + std::string(250, 'n'), std::string("nowhere/z")}) {
        write_text(dir / "scene.json", R"({"frames": "1", "render": {"rgba": "render.%d.exr"},
            "image_filters": [{"server": "OBK_ZSave", "answers": {"path": ")" + base + R"("}}]})");
        const ztest::RunResult save = run_zhost({"save", "render.1.exr", "--base", base}, dir.path());
        const ztest::RunResult render = run_zhost({"render", "scene.json", "--options", "OBK_ZSave"}, dir.path());
        EXPECT_EQ(save.status, 1) << base;
        EXPECT_EQ(render.status, 1) << base;
        EXPECT_EQ(save.err, render.err) << base;
    }
}

TEST(ZhostRender, ScenesRunThroughThePanelAndSettingsSurviveARoundTrip) {
    test::TempDir dir;
    fs::create_directories(dir / "scene" / "out");
    fs::create_directories(dir / "scene" / "saved");
    const Inputs in = make_inputs();
    write_scene_inputs(dir, in);
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        if (entry.is_regular_file()) fs::rename(entry.path(), dir / "scene" / entry.path().filename());
    }
    write_text(dir / "scene" / "scene.json", SCENE);
    const ztest::RunResult first =
        run_zhost({"render", "scene/scene.json", "--options", "OBK_ZComp", "--options", "OBK_ZSave", "--answer",
                   "Z-Buffer=zb", "--answer", "Comp Image=comp", "--answer", "path=saved/z", "--save-scene", "saved.json"},
                  dir.path());
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_TRUE(contains(first.out, "OBK_ZComp:  zb, comp")) << first.out;
    // The depth files by the names they have, seen from where zhost ran.
    EXPECT_TRUE(contains(first.out, "wrote scene/saved/z0001.zb .. scene/saved/z0002.zb  depth files of OBK_ZSave"))
        << first.out;
    const std::vector<float> expected = expected_merge(in);
    for (const char* out : {"scene/out/frame.0001.exr", "scene/out/frame.0002.exr"}) {
        EXPECT_EQ(ztest::bits_of(read_pixels(dir / out, 5)), ztest::bits_of(expected)) << out;
    }
    EXPECT_EQ(ztest::files_in(dir / "scene" / "saved"), (std::vector<std::string>{"z0001.zb", "z0002.zb"}));

    // The settings as the servers saved them, then a run from those alone.
    const nlohmann::json saved = nlohmann::json::parse(std::ifstream(dir / "saved.json"));
    EXPECT_EQ(saved["pixel_filters"][0]["settings"], nlohmann::json::parse(R"([{"image": "zb"}, {"image": "comp"}])"));
    EXPECT_EQ(saved["image_filters"][0]["settings"],
              nlohmann::json::parse(R"([{"text": "saved/z"}, {"u16": 6}, {"u16": 0}, {"u16": 0}, {"u16": 2}])"));
    fs::remove_all(dir / "scene" / "out");
    fs::create_directories(dir / "scene" / "out");
    fs::copy_file(dir / "saved.json", dir / "scene" / "again.json");
    const ztest::RunResult again =
        run_zhost({"render", "scene/again.json", "--frames", "2-2", "--save-scene", "again-saved.json"}, dir.path());
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(ztest::files_in(dir / "scene" / "out"), std::vector<std::string>{"frame.0002.exr"});
    EXPECT_EQ(ztest::bits_of(read_pixels(dir / "scene/out/frame.0002.exr", 5)), ztest::bits_of(expected));
    EXPECT_EQ(nlohmann::json::parse(std::ifstream(dir / "again-saved.json")), saved);
}

TEST(ZhostRender, ImagesOfOtherSizesAreNotedOnceForTheRun) {
    test::TempDir dir;
    fs::create_directories(dir / "out");
    fs::create_directories(dir / "saved");
    const Inputs in = make_inputs();
    write_scene_inputs(dir, in);
    for (int frame = 1; frame <= 2; ++frame) {
        const std::string name = "depth." + std::to_string(frame) + ".exr";
        ztest::write_image((dir / name).string(), 2 * W, 2 * H, {"Z"}, std::vector<float>(4 * W * H, 1.0f));
    }
    write_text(dir / "scene.json", SCENE);
    const ztest::RunResult run = run_zhost({"render", "scene.json", "--options", "OBK_ZComp", "--options", "OBK_ZSave",
                                            "--answer", "Z-Buffer=zb", "--answer", "Comp Image=comp", "--answer",
                                            "path=saved/z", "-q"},
                                           dir.path());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "note: image \"zb\" 18x12 scaled to the 9x6 frame\n");
}

TEST(ZhostRender, MalformedScenesNameTheKeyOrLine) {
    test::TempDir dir;
    write_scene_inputs(dir, make_inputs());
    const std::string render = R"("frames": "1", "render": {"rgba": "render.%d.exr"})";
    struct Case {
        std::string scene;
        const char* reason;
    };
    const Case cases[] = {
        {"{\n  \"frames\": \"1-2\",\n  \"render\": {\"rgba\": \"render.%d.exr\"}\n  \"x\": 1}", "parse error at line 4"},
        {R"({"render": {"rgba": "r.exr"}})", "bad.json: frames: missing"},
        {R"({"frames": "2-1", "render": {"rgba": "r.exr"}})", "bad.json: frames: frame range \"2-1\""},
        {R"({"frames": 3, "render": {"rgba": "r.exr"}})", "bad.json: frames: expected a non-empty text"},
        {R"({"frames": "1", "render": "r.exr"})", "bad.json: render: expected an object"},
        {R"({"frames": "1", "render": {"rgba": "r.exr"}, "images": [{"file": "x"}]})", "bad.json: images[0].name: missing"},
        {R"({"frames": "1", "render": {"rgba": "r.exr"}, "pixel_filters": {}})", "bad.json: pixel_filters: expected a list"},
        {"{" + render + R"(, "pixel_filters": [{"server": "OBK_ZComp", "settings": [{"u16": 70000}]}]})",
         "bad.json: pixel_filters[0].settings[0].u16: a value of the wrong kind or range"},
        // Unknown keys, at every level, with the key meant when it is a slip away.
        {"{" + render + R"(, "pixel_filter": []})", "bad.json: pixel_filter: unknown key (did you mean 'pixel_filters'?)"},
        {"{" + render + R"(, "comment": "x"})", "bad.json: comment: unknown key (known: frames, size, render, images, "},
        {R"({"frames": "1", "render": {"rgba": "r.exr", "dept": "z.exr"}})", "bad.json: render.dept: unknown key"},
        {"{" + render + R"(, "images": [{"name": "z", "fil": "z.zb"}]})", "bad.json: images[0].fil: unknown key"},
        {"{" + render + R"(, "image_filters": [{"server": "OBK_ZSave", "answer": {}}]})",
         "bad.json: image_filters[0].answer: unknown key (did you mean 'answers'?)"},
        {"{" + render + R"(, "image_filters": [{"server": "OBK_ZSave", "settings": [{"txt": "z"}]}]})",
         "bad.json: image_filters[0].settings[0].txt: unknown key (did you mean 'text'?)"},
        {"{" + render + R"(, "image_filters": [{"server": "OBK_ZSave", "confirm": "yes"}]})",
         "bad.json: image_filters[0].confirm: expected true or false"},
        {"{" + render + R"(, "image_filters": [{"settings": []}]})", "bad.json: image_filters[0].server: missing"},
        {"{\n" + render + ",\n\"images\": [[[[[[[[[]]]]]]]]]}", "bad.json: line 3: lists and objects nested deeper than 8"},
        {"{" + render + ",\n\n\"x\": " + std::string(100000, '[') + std::string(100000, ']') + "}",
         "bad.json: line 3: lists and objects nested deeper than 8"},
        {"{" + render + ",\n\"render\": {\"rgba\": \"render.%d.exr\"}}", "bad.json: line 2: key \"render\" given twice"},
        // Checked by the module and by the run.
        {"{" + render + R"(, "pixel_filters": [{"server": "OBK_Nothing"}]})", "OBK_Nothing"},
        {"{" + render + R"(, "pixel_filters": [{"server": "OBK_ZComp"}]})", "OBK_ZComp:  No depth buffer file specified."},
        {R"({"frames": "3-4", "render": {"rgba": "render.%d.exr"}, "output": "o.#.exr"})", "render.3.exr: no such file"},
        {R"({"frames": "1", "size": "4x4", "render": {"rgba": "render.%d.exr"}})", "differs from the scene's 4x4"},
    };
    for (const Case& c : cases) {
        write_text(dir / "bad.json", c.scene);
        expect_refused(dir, {"render", "bad.json", "--save-scene", "saved.json"}, c.reason);
    }
    write_text(dir / "bad.json", "{" + render + "}");
    expect_refused(dir, {"render", "bad.json", "--options", "OBK_ZSave"}, "the scene has no filter of that server");
}

// Scripted answers name controls that the server's requester or panel
// shows: a label given on the command line may belong to any server whose
// options run (else exit 2), one in the scene to its own server (else exit 1).
TEST(ZhostRender, AnswersForControlsThatDoNotExistAreRefused) {
    test::TempDir dir;
    write_scene_inputs(dir, make_inputs());
    std::string scene = SCENE;
    scene.replace(scene.find(R"({"server": "OBK_ZComp"})"), 23,
                  R"({"server": "OBK_ZComp", "answers": {"Z-Bufer": "zb"}})");
    write_text(dir / "typo.json", scene);
    write_text(dir / "scene.json", SCENE);
    fs::create_directories(dir / "saved");
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* reason;
    };
    const Case cases[] = {
        {{"--options", "OBK_ZComp", "--answer", "Z-Bufer=zb"},
         2, "--answer Z-Bufer=...: no control of that label in the options of OBK_ZComp (did you mean 'Z-Buffer'?)"},
        {{"--options", "OBK_ZComp", "--answer", "path=saved/z"},
         2, "--answer path=...: no control of that label in the options of OBK_ZComp (labels: 'Comp Image', 'Note: ', "
            "'Z-Buffer')"},
        {{"--options", "OBK_ZSave", "--answer", "Z-Buffer=zb"}, 2, "in the options of OBK_ZSave (labels: 'path')"},
        {{"--options", "OBK_ZComp", "--answer", "NoSuchLabel=1"}, 2, "--answer NoSuchLabel=...: no control of that label"},
        {{"--options", "OBK_ZComp", "--answer", "Z-Buffer=1"}, 1, "answer \"Z-Buffer\": no image \"1\""},
        {{"--answer", "Z-Buffer=zb"}, 2, "--answer requires --options"},
        {{"--options", "OBK_ZComp", "--answer", "Z-Buffer=zb", "--answer", "Comp Image=comp"}, 0, ""},
    };
    fs::create_directories(dir / "out");
    const std::vector<std::string> before = ztest::files_in(dir.path());
    for (const Case& c : cases) {
        std::vector<std::string> args = {"render", "scene.json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ztest::RunResult run = run_in(dir.path(), args);
        EXPECT_EQ(run.status, c.status) << args[3] << "\n" << run.err;
        EXPECT_TRUE(contains(run.err, c.reason)) << run.err;
        const bool rendered = ztest::files_in(dir / "out").size() == 2;
        EXPECT_EQ(rendered, c.status == 0) << args[3] << ": frames are rendered only after accepted answers";
        if (c.status != 0) {
            EXPECT_EQ(ztest::files_in(dir.path()), before) << args[3];
        }
    }
    expect_refused(dir, {"render", "typo.json", "--options", "OBK_ZComp", "--answer", "Comp Image=comp"},
                   "typo.json: pixel_filters[0].answers.Z-Bufer: no control of that label in the options of "
                   "OBK_ZComp (did you mean 'Z-Buffer'?)");
}

TEST(ZhostDemo, WritesLayersDepthFilesCompositesAndASheet) {
    test::TempDir dir;
    const ztest::RunResult run = run_zhost({"demo", "--out", "out", "--frame-count", "2", "--size", "48x27"}, dir.path());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;
    const std::vector<std::string> expected = {
        "composite-depth0001.png", "composite-depth0002.png", "composite0001.png", "composite0002.png",
        "contact-sheet.png",       "first-depth0001.png",     "first-depth0002.png", "first0001.png",
        "first0002.png",           "second-depth0001.png",    "second-depth0002.png", "second0001.png",
        "second0002.png",          "zbuf0001.zb",             "zbuf0002.zb"};
    EXPECT_EQ(ztest::files_in(dir / "out"), expected);
    EXPECT_TRUE(contains(run.out, "out/zbuf0001.zb .. out/zbuf0002.zb")) << run.out;
    const ztest::RunResult info = run_in(dir.path(), {"info", "out/zbuf0002.zb"});
    EXPECT_TRUE(contains(info.out, "size             48 x 27")) << info.out;
    // The composite differs from the first layer where the second layer is nearer.
    EXPECT_NE(read_pixels(dir / "out/composite0001.png", 4), read_pixels(dir / "out/first0001.png", 4));

    // In this process, so that a later command shows whether timing ended.
    const std::string timed_dir = (dir / "timed").string();
    const ztest::RunResult timed = ztest::run_in_process(
        {"--module", OBK_MODULE_PATH, "--timings", "demo", "--out", timed_dir, "--frame-count", "2", "--size", "48x27"});
    ASSERT_EQ(timed.status, 0) << timed.err;
    EXPECT_TRUE(contains(timed.out, timed_dir + "/zbuf0001.zb .. " + timed_dir + "/zbuf0002.zb")) << timed.out;
    EXPECT_FALSE(contains(timed.out, "timing:")) << "timings go to stderr only";
    for (const char* stage : {"render layers", "save depth", "load depth", "composite", "contact sheet",
                              "whole command"}) {
        EXPECT_TRUE(contains(timed.err, std::string("timing: ") + stage)) << stage << "\n" << timed.err;
    }
    EXPECT_TRUE(contains(timed.err, "(2 runs)")) << timed.err;
    const ztest::RunResult untimed = ztest::run_in_process({"--module", OBK_MODULE_PATH, "-q", "demo", "--out",
                                                            (dir / "again").string(), "--frame-count", "1", "--size", "48x27"});
    ASSERT_EQ(untimed.status, 0) << untimed.err;
    EXPECT_TRUE(untimed.err.empty()) << "timing ends with its command: " << untimed.err;
}

}  // namespace
