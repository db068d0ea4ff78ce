// `zhost comp`, `zhost render` and `zhost demo` run as a user runs them:
// compositing agrees pixel for pixel with an independent depth merge, scene
// settings survive a round trip through the servers' own save and load, and
// refusals are one line, exit status 1, and no output.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <Imath/half.h>
#include <OpenImageIO/imagebuf.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
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


// Data and display windows of an image: x, y, width, height of each.
struct Windows {
    int x, y, width, height;
    int full_x, full_y, full_width, full_height;
};

// A sample by absolute pixel coordinates and channel.
using SampleAt = std::function<double(int x, int y, int channel)>;

// Writes an EXR with OpenImageIO with the given windows, each channel in its
// own type (half, float or uint).
void write_windowed(const fs::path& path, const Windows& w, const std::vector<std::string>& names,
                    const std::vector<OIIO::TypeDesc>& types, const SampleAt& value) {
    OIIO::ImageSpec spec(w.width, w.height, int(names.size()), OIIO::TypeDesc::FLOAT);
    spec.x = w.x;
    spec.y = w.y;
    spec.full_x = w.full_x;
    spec.full_y = w.full_y;
    spec.full_width = w.full_width;
    spec.full_height = w.full_height;
    spec.channelnames = names;
    spec.channelformats = types;
    std::vector<unsigned char> data;
    const auto append = [&](const void* bytes, std::size_t size) {
        data.insert(data.end(), static_cast<const unsigned char*>(bytes), static_cast<const unsigned char*>(bytes) + size);
    };
    for (int y = w.y; y < w.y + w.height; ++y) {
        for (int x = w.x; x < w.x + w.width; ++x) {
            for (std::size_t c = 0; c < names.size(); ++c) {
                const double v = value(x, y, int(c));
                if (types[c] == OIIO::TypeDesc::HALF) {
                    const Imath::half h{float(v)};
                    append(&h, sizeof h);
                } else if (types[c] == OIIO::TypeDesc::UINT) {
                    const auto u = uint32_t(v);
                    append(&u, sizeof u);
                } else {
                    const auto f = float(v);
                    append(&f, sizeof f);
                }
            }
        }
    }
    auto out = OIIO::ImageOutput::create(path.string());
    ASSERT_TRUE(out && out->open(path.string(), spec) && out->write_image(OIIO::TypeDesc::UNKNOWN, data.data()) &&
                out->close())
        << path;
}

// An output read back: its header and each channel by name, uint channels
// as their exact numbers.
struct Output {
    OIIO::ImageSpec spec;
    std::map<std::string, std::vector<double>> channels;
};

Output read_output(const fs::path& path) {
    Output out;
    auto in = OIIO::ImageInput::open(path.string());
    EXPECT_TRUE(in) << path;
    if (!in) return out;
    out.spec = in->spec();
    const std::size_t pixels = std::size_t(out.spec.width) * std::size_t(out.spec.height);
    for (int c = 0; c < out.spec.nchannels; ++c) {
        std::vector<double>& values = out.channels[out.spec.channelnames[std::size_t(c)]];
        if (out.spec.channelformat(c) == OIIO::TypeDesc::UINT) {
            std::vector<uint32_t> read(pixels);
            EXPECT_TRUE(in->read_image(0, 0, c, c + 1, OIIO::TypeDesc::UINT, read.data()));
            values.assign(read.begin(), read.end());
        } else {
            std::vector<float> read(pixels);
            EXPECT_TRUE(in->read_image(0, 0, c, c + 1, OIIO::TypeDesc::FLOAT, read.data()));
            values.assign(read.begin(), read.end());
        }
    }
    return out;
}

bool inside(const Windows& w, int x, int y) { return x >= w.x && x < w.x + w.width && y >= w.y && y < w.y + w.height; }

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

// The frame is the render's data window (overscan included), and the output
// keeps both windows. The other images lie by pixel coordinates: their data
// windows may be offset or smaller (nothing there beyond them); one of
// another display size is scaled, over the render's data window as it lies
// in the render's display window.
TEST(ZhostComp, TheFrameIsTheRendersDataWindowAndImagesLieByPixelCoordinates) {
    test::TempDir dir;
    const auto render_z = [](int x, int y) { return 1.0 + double((x + 2 * y + 40) % 4); };
    const auto depth_z = [](int x, int y) { return 0.5 * double((3 * x + y + 40) % 9) + 0.5; };  // ties too
    const auto render_value = [&](int x, int y, int c) { return c == 4 ? render_z(x, y) : c * 1000 + x * 10 + y + 0.25; };
    const auto comp_value = [](int x, int y, int c) { return 5000 + c * 1000 + (x + 10) * 10 + (y + 10) + 0.5; };
    struct Case {
        const char* what;
        Windows render, depth, comp;
        int comp_scale;  // the comp's display size over the render's
        const char* note;
        bool depth_file = false;  // the depth as a .zb of its display window, which holds no windows
    };
    const Case cases[] = {
        {"overscan, comp data window offset", {0, 0, 12, 8, 2, 2, 8, 4}, {0, 0, 12, 8, 2, 2, 8, 4},
         {4, 3, 5, 3, 2, 2, 8, 4}, 1, ""},
        {"overscan at a negative origin, depth over part", {-2, -1, 12, 8, 0, 0, 8, 6}, {-2, -1, 6, 8, 0, 0, 8, 6},
         {-2, -1, 12, 8, 0, 0, 8, 6}, 1, ""},
        {"render inside its display window", {2, 1, 5, 3, 0, 0, 9, 6}, {0, 0, 9, 6, 0, 0, 9, 6},
         {0, 0, 9, 6, 0, 0, 9, 6}, 1, ""},
        {"comp display twice the render's", {0, 0, 12, 8, 2, 2, 8, 4}, {0, 0, 12, 8, 2, 2, 8, 4},
         {-4, -4, 24, 16, 0, 0, 16, 8}, 2, "note: comp image 24x16 scaled to the 12x8 frame\n"},
        {"overscan, a depth file of the display window", {0, 0, 12, 8, 2, 2, 8, 4}, {0, 0, 12, 8, 2, 2, 8, 4},
         {0, 0, 12, 8, 2, 2, 8, 4}, 1, "", true},
        {"render inside its display window, a depth file", {2, 1, 5, 3, 0, 0, 9, 6}, {0, 0, 9, 6, 0, 0, 9, 6},
         {0, 0, 9, 6, 0, 0, 9, 6}, 1, "", true},
    };
    for (const Case& c : cases) {
        write_windowed(dir / "render.exr", c.render, {"R", "G", "B", "A", "Z"}, std::vector<OIIO::TypeDesc>(5, OIIO::TypeDesc::FLOAT),
                       render_value);
        write_windowed(dir / "depth.exr", c.depth, {"Z"}, {OIIO::TypeDesc::FLOAT},
                       [&](int x, int y, int) { return depth_z(x, y); });
        write_windowed(dir / "comp.exr", c.comp, {"R", "G", "B"}, std::vector<OIIO::TypeDesc>(3, OIIO::TypeDesc::FLOAT), comp_value);
        if (c.depth_file) {
            ASSERT_EQ(run_zhost({"save", "depth.exr", "--base", "zb"}, dir.path()).status, 0);
        }
        const ztest::RunResult run =
            run_in(dir.path(), {"comp", "--render", "render.exr", "--zbuffer", c.depth_file ? "zb0001.zb" : "depth.exr",
                                "--comp", "comp.exr", "-o", "o.exr"});
        ASSERT_EQ(run.status, 0) << c.what << ": " << run.err;
        EXPECT_EQ(run.err, c.note) << c.what;
        const Output out = read_output(dir / "o.exr");
        const OIIO::ImageSpec& s = out.spec;
        const Windows& r = c.render;
        EXPECT_EQ(std::vector({s.x, s.y, s.width, s.height, s.full_x, s.full_y, s.full_width, s.full_height}),
                  std::vector({r.x, r.y, r.width, r.height, r.full_x, r.full_y, r.full_width, r.full_height}))
            << c.what;
        if (s.width != r.width || s.height != r.height) continue;
        for (int y = r.y; y < r.y + r.height; ++y) {
            for (int x = r.x; x < r.x + r.width; ++x) {
                const Windows display{r.full_x, r.full_y, r.full_width, r.full_height, 0, 0, 0, 0};
                const bool held = inside(c.depth, x, y) && (!c.depth_file || inside(display, x, y));
                const double sample = held ? depth_z(x, y) : INFINITY;
                const bool nearer = sample < render_z(x, y);
                // The compositor's position in the comp image: the same pixel
                // coordinates, or scaled from the render's display window to the comp's.
                const bool same = c.comp_scale == 1;
                const int comp_x = same ? x : c.comp.full_x + (x - r.full_x) * c.comp_scale;
                const int comp_y = same ? y : c.comp.full_y + (y - r.full_y) * c.comp_scale;
                const std::size_t i = std::size_t((y - r.y) * r.width + (x - r.x));
                for (int ch = 0; ch < 3; ++ch) {
                    const double comp = inside(c.comp, comp_x, comp_y) ? comp_value(comp_x, comp_y, ch) : 0.0;
                    EXPECT_EQ(out.channels.at(std::string(1, "RGB"[ch]))[i],
                              float(nearer ? comp : render_value(x, y, ch)))
                        << c.what << " at " << x << "," << y;
                }
                EXPECT_EQ(out.channels.at("A")[i], float(render_value(x, y, 3))) << c.what << " at " << x << "," << y;
                EXPECT_EQ(out.channels.at("Z")[i], float(nearer ? sample : render_z(x, y))) << c.what << " at " << x << "," << y;
            }
        }
    }
}

// Depth and comp images must have the render's display size with
// --no-scale: exactly that size is taken, one pixel more is refused.
TEST(ZhostComp, NoScaleRefusesImagesOfAnotherDisplaySize) {
    test::TempDir dir;
    write_inputs(dir, make_inputs());
    ztest::write_image((dir / "wide.exr").string(), W + 1, H, {"R", "G", "B"}, ztest::samples((W + 1) * H, 3));
    ztest::write_image((dir / "tall.exr").string(), W, H + 1, {"Z"}, std::vector<float>(W * (H + 1), 1.0f));
    ASSERT_EQ(run_zhost({"save", "tall.exr", "--base", "tall"}, dir.path()).status, 0);
    const auto comp = [](const std::string& zbuffer, const std::string& image) {
        return std::vector<std::string>{"comp", "--render", "render.exr", "--zbuffer", zbuffer, "--comp",
                                        image, "-o", "o.exr", "--no-scale"};
    };
    const ztest::RunResult same = run_in(dir.path(), comp("depth.exr", "comp.exr"));
    EXPECT_EQ(same.status, 0) << same.err;
    EXPECT_EQ(same.err, "");
    fs::remove(dir / "o.exr");
    const std::tuple<const char*, const char*, const char*> refused[] = {
        {"depth.exr", "wide.exr", "wide.exr: display window 10x6 differs from the render's 9x6 (--no-scale)"},
        {"tall.exr", "comp.exr", "tall.exr: display window 9x7 differs from the render's 9x6 (--no-scale)"},
        {"tall0001.zb", "comp.exr", "tall0001.zb: display window 9x7 differs from the render's 9x6 (--no-scale)"},
    };
    for (const auto& [zbuffer, image, reason] : refused) expect_refused(dir, comp(zbuffer, image), reason);
}

// Every channel of the render is kept with its name and type; those the
// comp image has too follow the pixel the compositor picked (ties and
// farther keep the render's), the others pass through unchanged.
TEST(ZhostComp, EveryChannelOfTheRenderFollowsThePickedPixel) {
    test::TempDir dir;
    constexpr OIIO::TypeDesc HALF = OIIO::TypeDesc::HALF, FLOAT = OIIO::TypeDesc::FLOAT, UINT = OIIO::TypeDesc::UINT;
    const Windows frame{0, 0, W, H, 0, 0, W, H};
    const auto index = [](int x, int y) { return y * W + x; };
    // IDs beyond 2^24, which a float would not hold.
    const auto render_value = [&](int x, int y, int c) {
        const int i = index(x, y);
        const double values[] = {ztest::sample(i, 0), ztest::sample(i, 1), ztest::sample(i, 2), ztest::sample(i, 3),
                                 render_depth(i), i + 0.25, i + 0.5, i * 1.5 + 0.1, 16777217.0 + 3 * i};
        return values[c];
    };
    const auto comp_value = [&](int x, int y, int c) {
        const int i = y * 100 + x;
        const double values[] = {1000.0 + i, 2000.0 + i, 3000.0 + i, 0.5, 256.0 + i, 512.0 + i, 33554433.0 + i, 7.0};
        return values[c];
    };
    write_windowed(dir / "render.exr", frame, {"R", "G", "B", "A", "Z", "diffuse.R", "diffuse.G", "N.x", "id"},
                   {FLOAT, FLOAT, FLOAT, FLOAT, FLOAT, HALF, HALF, FLOAT, UINT}, render_value);
    for (int scale : {1, 2}) {
        write_windowed(dir / ("comp" + std::to_string(scale) + ".exr"),
                       {0, 0, W * scale, H * scale, 0, 0, W * scale, H * scale},
                       {"R", "G", "B", "A", "diffuse.R", "diffuse.G", "id", "glow"},
                       {FLOAT, FLOAT, FLOAT, FLOAT, FLOAT, HALF, UINT, FLOAT}, comp_value);
    }
    write_windowed(dir / "depth.exr", frame, {"Z"}, {FLOAT}, [&](int x, int y, int) { return image_depth(index(x, y)); });
    struct Case {
        std::vector<std::string> options;
        OIIO::TypeDesc diffuse, normal;  // output types; id stays uint
        int comp_scale;                  // a comp image twice the frame's size is sampled where the compositor samples it
    };
    const Case cases[] = {
        {{}, HALF, FLOAT, 1}, {{"-d", "half"}, HALF, HALF, 1}, {{"-d", "float"}, FLOAT, FLOAT, 1}, {{}, HALF, FLOAT, 2}};
    for (const Case& c : cases) {
        std::vector<std::string> args = {"comp", "--render", "render.exr", "--zbuffer", "depth.exr",
                                         "--comp", "comp" + std::to_string(c.comp_scale) + ".exr", "-o", "o.exr"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const ztest::RunResult run = run_in(dir.path(), args);
        ASSERT_EQ(run.status, 0) << run.err;
        const Output out = read_output(dir / "o.exr");
        const std::string what = (c.options.empty() ? "as stored" : c.options[1]) + " x" + std::to_string(c.comp_scale);
        std::map<std::string, OIIO::TypeDesc> types;
        for (int ch = 0; ch < out.spec.nchannels; ++ch) types[out.spec.channelnames[std::size_t(ch)]] = out.spec.channelformat(ch);
        const std::map<std::string, OIIO::TypeDesc> expected_types = {
            {"R", c.normal}, {"G", c.normal}, {"B", c.normal}, {"A", c.normal}, {"Z", c.normal},
            {"diffuse.R", c.diffuse}, {"diffuse.G", c.diffuse}, {"N.x", c.normal}, {"id", UINT}};
        EXPECT_EQ(types, expected_types) << what;
        if (types != expected_types) continue;
        const auto stored = [](OIIO::TypeDesc type, double value) {
            if (type == OIIO::TypeDesc::HALF) return double(float(Imath::half(float(value))));
            return type == OIIO::TypeDesc::UINT ? value : double(float(value));
        };
        for (int y = 0; y < H; ++y) {
            for (int x = 0; x < W; ++x) {
                const std::size_t i = std::size_t(index(x, y));
                const bool nearer = image_depth(int(i)) < render_depth(int(i));
                const auto picked = [&](int render_channel, int comp_channel) {
                    return nearer ? comp_value(x * c.comp_scale, y * c.comp_scale, comp_channel)
                                  : render_value(x, y, render_channel);
                };
                const std::string at = what + " pixel " + std::to_string(i) + (nearer ? " (comp)" : " (render)");
                EXPECT_EQ(out.channels.at("diffuse.R")[i], stored(c.diffuse, stored(HALF, picked(5, 4)))) << at;
                EXPECT_EQ(out.channels.at("diffuse.G")[i], stored(c.diffuse, stored(HALF, picked(6, 5)))) << at;
                EXPECT_EQ(out.channels.at("id")[i], picked(8, 6)) << at;
                EXPECT_EQ(out.channels.at("N.x")[i], stored(c.normal, stored(FLOAT, render_value(x, y, 7)))) << at;
                EXPECT_EQ(out.channels.at("A")[i], stored(c.normal, render_value(x, y, 3))) << at;
            }
        }
    }
}

// Counts the opens of files, as the kernel reports them. The kernel merges
// an event into an identical one just before it, which two threads opening
// one file at once would make: the folder is watched too, and its event
// for each open comes between the file's.
class OpenCounter {
public:
    explicit OpenCounter(const std::vector<fs::path>& files) : fd_(inotify_init1(IN_NONBLOCK)) {
        for (const fs::path& file : files) {
            inotify_add_watch(fd_, file.parent_path().c_str(), IN_OPEN);
            names_[inotify_add_watch(fd_, file.c_str(), IN_OPEN)] = file.filename();
        }
    }
    ~OpenCounter() { close(fd_); }

    std::map<std::string, int> counts() const {
        std::map<std::string, int> counts;
        for (const auto& [watch, name] : names_) counts[name] = 0;
        alignas(inotify_event) char buffer[4096];
        for (ssize_t got; (got = read(fd_, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (names_.count(event->wd) != 0) ++counts[names_.at(event->wd)];
                at += ssize_t(sizeof(inotify_event) + event->len);
            }
        }
        return counts;
    }

private:
    int fd_;
    std::map<int, std::string> names_;  // of the files' watches
};

// Every input of a command is opened once, however many of its channels
// and steps read it.
TEST(ZhostComp, EachInputIsOpenedOnce) {
    test::TempDir dir;
    const Inputs in = make_inputs();
    write_inputs(dir, in);
    std::vector<float> extra(std::size_t(W * H * 6), 0.5f);
    for (std::size_t p = 0; p < std::size_t(W * H); ++p) extra[p * 6 + 4] = p % 2 ? 1000.0f : 0.0f;  // the comp image wins at odd pixels
    ztest::write_image((dir / "render_id.exr").string(), W, H, {"R", "G", "B", "A", "Z", "id"}, extra);
    ztest::write_image((dir / "comp_id.exr").string(), W, H, {"R", "G", "B", "A", "Z", "id"}, ztest::samples(W * H, 6));
    // Layouts that OpenEXR's C++ reader reads, after the header was read.
    OIIO::ImageBuf dwaa((dir / "render.exr").string()), tiled((dir / "depth.exr").string());
    dwaa.specmod().attribute("compression", "dwaa");
    ASSERT_TRUE(dwaa.write((dir / "render_dwaa.exr").string()));
    tiled.set_write_tiles(4, 4);
    ASSERT_TRUE(tiled.write((dir / "depth_tiled.exr").string()));
    struct Case {
        std::vector<std::string> args;
        std::vector<fs::path> inputs;
    };
    const std::vector<Case> cases = {
        {{"comp", "--render", "render.exr", "--zbuffer", "depth.exr", "--comp", "comp.exr", "-o", "o.exr"},
         {"render.exr", "depth.exr", "comp.exr"}},
        {{"comp", "--render", "render_id.exr", "--zbuffer", "comp_id.exr", "--comp", "comp.exr", "-o", "o.exr"},
         {"render_id.exr", "comp_id.exr", "comp.exr"}},
        {{"comp", "--render", "render_id.exr", "--zbuffer", "depth.exr", "--comp", "comp_id.exr", "-o", "o.exr"},
         {"render_id.exr", "depth.exr", "comp_id.exr"}},
        {{"comp", "--render", "render_dwaa.exr", "--zbuffer", "depth_tiled.exr", "--comp", "comp.exr", "-o", "o.exr"},
         {"render_dwaa.exr", "depth_tiled.exr", "comp.exr"}},
        {{"save", "render.exr", "--rgb", "render.exr", "--base", "z"}, {"render.exr"}},
        {{"comp", "--render", "render_id.exr", "--zbuffer", "comp_id.exr", "--comp", "comp_id.exr", "-o", "o.exr"},
         {"render_id.exr", "comp_id.exr"}},
    };
    for (const Case& c : cases) {
        std::vector<fs::path> inputs;
        for (const fs::path& input : c.inputs) inputs.push_back(dir / input);
        const OpenCounter counter(inputs);
        const ztest::RunResult run = run_in(dir.path(), c.args);
        ASSERT_EQ(run.status, 0) << run.err;
        for (const auto& [name, opens] : counter.counts()) {
            EXPECT_EQ(opens, 1) << name << " in " << c.args[0] << " " << c.args[2];
        }
    }
    // A file in both roles (the last), decoded once, composites as two files do.
    const std::vector<uint32_t> once = ztest::bits_of(read_pixels(dir / "o.exr", 6));
    EXPECT_NE(once, ztest::bits_of(extra));
    fs::copy_file(dir / "comp_id.exr", dir / "depth_id.exr");
    ASSERT_EQ(run_in(dir.path(), {"comp", "--render", "render_id.exr", "--zbuffer", "depth_id.exr", "--comp", "comp_id.exr",
                                  "-o", "o.exr"}).status, 0);
    EXPECT_EQ(ztest::bits_of(read_pixels(dir / "o.exr", 6)), once);
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
    // The output names the channels composited as the render names them and
    // keeps the render's other channels.
    const std::vector<std::vector<std::string>> composited = {
        {"beauty.R", "beauty.G", "beauty.B", "beauty.A", "beauty.Z"},
        {"R", "G", "B", "A", "distance"},
        {"R", "G", "B", "A", "Z"},
    };
    const std::vector<float> expected = expected_merge(in);
    for (std::size_t k = 0; k < choices.size(); ++k) {
        const std::vector<std::string>& choice = choices[k];
        std::vector<std::string> args = {"comp", "--zbuffer", "depth.exr", "--comp", "comp.exr", "-o", "out.exr"};
        args.insert(args.end(), choice.begin(), choice.end());
        const ztest::RunResult run = run_in(dir.path(), args);
        ASSERT_EQ(run.status, 0) << choice[1] << ": " << run.err;
        const Output out = read_output(dir / "out.exr");
        EXPECT_EQ(out.channels.size(), k == 0 ? 10u : 5u) << choice[1];
        for (std::size_t c = 0; c < 5; ++c) {
            std::vector<float> merged, read;
            for (int i = 0; i < W * H; ++i) merged.push_back(expected[std::size_t(i) * 5 + c]);
            for (double v : out.channels.at(composited[k][c])) read.push_back(float(v));
            EXPECT_EQ(ztest::bits_of(read), ztest::bits_of(merged)) << choice[1] << " " << composited[k][c];
        }
        if (k == 0) {
            EXPECT_EQ(out.channels.at("spec.G"), std::vector<double>(W * H, 0.125)) << "passed through";
        }
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
