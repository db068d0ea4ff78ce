// `zhost save` and `zhost load` run as a user runs them, on files made here:
// depth written by the saver comes back through the loader bit for bit, and
// every refusal is one line, exit status 1, and no output file.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <limits>
#include <thread>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "zhost_test_support.h"

namespace {

using ztest::run_zhost;
namespace fs = std::filesystem;
using ztest::contains;
using ztest::line_count;
using ztest::run_in;

// All channels of an image as floats, read with OpenImageIO directly.
struct Read {
    int width = 0, height = 0, channels = 0;
    std::vector<float> pixels;
};

Read read_image(const fs::path& path) {
    Read read;
    auto in = OIIO::ImageInput::open(path.string());
    EXPECT_TRUE(in) << path;
    if (!in) return read;
    read.width = in->spec().width;
    read.height = in->spec().height;
    read.channels = in->spec().nchannels;
    read.pixels.resize(std::size_t(read.width * read.height * read.channels));
    EXPECT_TRUE(in->read_image(0, 0, 0, read.channels, OIIO::TypeDesc::FLOAT, read.pixels.data()));
    return read;
}

// Depths a renderer may produce, awkward ones included: negative zero, a
// denormal, infinity, huge and negative values.
std::vector<float> awkward_depths(int count, float offset) {
    const float specials[] = {-0.0f, 1e-40f, std::numeric_limits<float>::infinity(), 3.4e38f, -7.25f, 0.1f};
    std::vector<float> depths;
    for (int i = 0; i < count; ++i) depths.push_back(i < 6 ? specials[i] : float(i) * 0.37f + offset);
    return depths;
}

// R, G, B, A, Z pixels with `depths` in Z.
std::vector<float> rgbaz(const std::vector<float>& depths) {
    std::vector<float> pixels;
    for (std::size_t i = 0; i < depths.size(); ++i) {
        for (int c = 0; c < 4; ++c) pixels.push_back(ztest::sample(int(i), c));
        pixels.push_back(depths[i]);
    }
    return pixels;
}

constexpr int W = 7, H = 5;

// A one-channel PFM written by hand: little-endian, rows from the bottom.
void write_pfm(const fs::path& path, int width, int height, const std::vector<float>& values) {
    const std::string header = "Pf\n" + std::to_string(width) + " " + std::to_string(height) + "\n-1.0\n";
    test::Bytes bytes(header.begin(), header.end());
    for (int y = height - 1; y >= 0; --y) {
        const auto* row = reinterpret_cast<const unsigned char*>(&values[std::size_t(y * width)]);
        bytes.insert(bytes.end(), row, row + 4 * width);
    }
    test::write_file(path, bytes);
}

// Runs zhost's command line inside the test process in `dir` (quicker than
// starting the program, for tables of refusals), with the module under test.
TEST(ZhostSaveLoad, DepthOfAnExrRoundTripsBitForBitIntoEveryFloatFormat) {
    test::TempDir dir;
    const std::vector<float> depths = awkward_depths(W * H, 2.0f);
    ztest::write_image((dir / "render.exr").string(), W, H, {"R", "G", "B", "A", "Z"}, rgbaz(depths));
    const ztest::RunResult save = run_zhost({"save", "render.exr", "--base", "z", "--frame", "12"}, dir.path());
    ASSERT_EQ(save.status, 0) << save.err;
    EXPECT_EQ(save.out, "wrote z0012.zb\n");
    EXPECT_TRUE(save.err.empty()) << save.err;

    for (const char* out : {"back.exr", "back.tif", "back.pfm"}) {
        const ztest::RunResult load = run_zhost({"load", "z0012.zb", "-o", out}, dir.path());
        ASSERT_EQ(load.status, 0) << out << ": " << load.err;
        const Read back = read_image(dir / out);
        EXPECT_EQ(back.width, W) << out;
        EXPECT_EQ(back.height, H) << out;
        EXPECT_EQ(back.channels, 1) << out;
        EXPECT_EQ(ztest::bits_of(back.pixels), ztest::bits_of(depths)) << out;
    }
}

TEST(ZhostSaveLoad, DepthComesFromTheNamedChannelOrTheOnlyOne) {
    test::TempDir dir;
    const std::vector<float> depths = awkward_depths(W * H, 5.0f);
    std::vector<float> two;  // "depth.Z" and "other"
    for (float d : depths) {
        two.push_back(99.0f);
        two.push_back(d);
    }
    ztest::write_image((dir / "named.exr").string(), W, H, {"other", "depth.Z"}, two);
    ztest::write_image((dir / "mist.exr").string(), W, H, {"R", "mist"}, two);
    write_pfm(dir / "single.pfm", W, H, depths);
    struct Case {
        std::vector<std::string> args;
        const char* file;
    };
    const Case cases[] = {
        {{"save", "named.exr", "--base", "a"}, "a0001.zb"},
        {{"save", "mist.exr", "--base", "b", "--depth-channel", "mist"}, "b0001.zb"},
        {{"save", "single.pfm", "--base", "c"}, "c0001.zb"},
    };
    for (const Case& c : cases) {
        const ztest::RunResult save = run_zhost(c.args, dir.path());
        ASSERT_EQ(save.status, 0) << c.file << ": " << save.err;
        ASSERT_EQ(run_zhost({"load", c.file, "-o", "back.exr"}, dir.path()).status, 0) << c.file;
        EXPECT_EQ(ztest::bits_of(read_image(dir / "back.exr").pixels), ztest::bits_of(depths)) << c.file;
    }
}

TEST(ZhostSaveLoad, SequencesSaveOneNumberedFilePerFrame) {
    test::TempDir dir;
    fs::create_directory(dir / "out");
    for (int frame = 3; frame <= 5; ++frame) {
        const std::vector<float> depths = awkward_depths(W * H, float(frame * 100));
        char name[32];
        std::snprintf(name, sizeof name, "d.%04d.exr", frame);
        ztest::write_image((dir / name).string(), W, H, {"R", "G", "B", "A", "Z"}, rgbaz(depths));
        std::snprintf(name, sizeof name, "c_%d.png", frame);
        ztest::write_image((dir / name).string(), W, H, {"R", "G", "B"}, ztest::samples(W * H, 3),
                           OIIO::TypeDesc::UINT8);
    }
    const ztest::RunResult save =
        run_zhost({"save", "d.####.exr", "--rgb", "c_%d.png", "--frames", "3-5", "--base", "out/z"}, dir.path());
    ASSERT_EQ(save.status, 0) << save.err;
    EXPECT_EQ(save.out, "wrote out/z0003.zb .. out/z0005.zb  (3 frames)\n");
    EXPECT_EQ(ztest::files_in(dir / "out"), (std::vector<std::string>{"z0003.zb", "z0004.zb", "z0005.zb"}));
    for (int frame = 3; frame <= 5; ++frame) {
        const std::string file = "out/z000" + std::to_string(frame) + ".zb";
        ASSERT_EQ(run_zhost({"load", file, "-o", "back.pfm"}, dir.path()).status, 0) << file;
        EXPECT_EQ(ztest::bits_of(read_image(dir / "back.pfm").pixels),
                  ztest::bits_of(awkward_depths(W * H, float(frame * 100))))
            << file;
    }
}

TEST(ZhostSaveLoad, PreviewsAreFalseColourPicturesWithALegend) {
    test::TempDir dir;
    ztest::write_image((dir / "d.exr").string(), W, H, {"Z"}, awkward_depths(W * H, 1.0f));
    ASSERT_EQ(run_zhost({"save", "d.exr", "--base", "z"}, dir.path()).status, 0);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"load", "z0001.zb", "-o", "p.png"},
             {"load", "z0001.zb", "-o", "p.tif", "--preview"},
             {"load", "z0001.zb", "-o", "p.png", "--range", "1,3", "--far", "2.5e38"},
             {"load", "z0001.zb", "-o", "p.png", "--log", "--range", "0.5,12"}}) {
        const ztest::RunResult load = run_in(dir.path(), args);
        ASSERT_EQ(load.status, 0) << args[3] << ": " << load.err;
        EXPECT_EQ(load.out, "wrote " + args[3] + "  (7x45)\n") << "the size written, legend included";
        auto in = OIIO::ImageInput::open((dir / args[3]).string());
        ASSERT_TRUE(in);
        EXPECT_EQ(in->spec().format, OIIO::TypeDesc::UINT8) << args[3];
        EXPECT_EQ(in->spec().nchannels, 3) << args[3];
        EXPECT_EQ(in->spec().width, W);
        EXPECT_EQ(in->spec().height, H + 40) << "picture and legend";
        EXPECT_EQ(in->spec().get_string_attribute("oiio:ColorSpace"), "sRGB") << args[3];
    }
    // Preview options that make no sense: usage errors; --log of depths
    // that reach 0 or below: refused.
    struct Refusal { const char* out; std::vector<std::string> options; };
    const Refusal refusals[] = {
        {"p.png", {"--range", "5"}}, {"p.png", {"--range", "9,2"}}, {"p.png", {"--range", "1,x"}},
        {"p.png", {"--range", "1,inf"}}, {"p.png", {"--log", "--range", "0,5"}}, {"p.exr", {"--far", "3"}},
        {"p.exr", {"--no-legend"}}, {"p.exr", {"--range", "sequence"}}, {"p.png", {"--range", "sequences"}},
    };
    for (const Refusal& r : refusals) {
        std::vector<std::string> args = {"load", "z0001.zb", "-o", r.out};
        args.insert(args.end(), r.options.begin(), r.options.end());
        const ztest::RunResult load = run_in(dir.path(), args);
        EXPECT_EQ(load.status, 2) << r.options.back() << ": " << load.err;
        EXPECT_TRUE(contains(load.err, r.options[0])) << load.err;
    }
    const ztest::RunResult log = run_in(dir.path(), {"load", "z0001.zb", "-o", "p.png", "--log"});
    EXPECT_EQ(log.status, 1) << log.err;
    EXPECT_TRUE(contains(log.err, "--log needs depths above 0, and the nearest is")) << log.err;
}

// Previews of a sequence: with --range sequence a depth takes the same
// colour in every frame; --no-legend keeps the depth image's size.
TEST(ZhostSaveLoad, SequencePreviewsShareOneRangeAndMayLeaveOutTheLegend) {
    test::TempDir dir;
    for (const int frame : {1, 2}) {
        std::vector<float> depths;  // pixel 0 at depth 1, pixel 1 at depth 2 in both; frame 2 reaches 4
        for (int i = 0; i < W * H; ++i) depths.push_back(float(1 + i % (frame * 2)));
        ztest::write_image((dir / ("d.000" + std::to_string(frame) + ".exr")).string(), W, H, {"Z"}, depths);
    }
    ASSERT_EQ(run_zhost({"save", "d.####.exr", "--frames", "1-2", "--base", "z"}, dir.path()).status, 0);
    struct Case { std::vector<std::string> options; bool same_colours; int height; };
    const Case cases[] = {
        {{}, false, H + 40},
        {{"--range", "sequence"}, true, H + 40},
        {{"--range", "sequence", "--no-legend"}, true, H},
        {{"--no-legend"}, false, H},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"load", "z####.zb", "-o", "p.####.png", "--frames", "1-2"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const ztest::RunResult load = run_in(dir.path(), args);
        ASSERT_EQ(load.status, 0) << load.err;
        const Read first = read_image(dir / "p.0001.png"), second = read_image(dir / "p.0002.png");
        EXPECT_EQ(first.height, c.height);
        EXPECT_EQ(second.width, W);
        const auto colour = [](const Read& image, int pixel) {
            return std::vector<float>(image.pixels.begin() + pixel * 3, image.pixels.begin() + pixel * 3 + 3);
        };
        EXPECT_EQ(colour(first, 0), colour(second, 0)) << "the nearest depth is yellow in both";
        EXPECT_EQ(colour(first, 1) == colour(second, 1), c.same_colours) << "depth 2 in both frames";
    }
}

// One refused command: exit status 1, a one-line reason, no new file.
void expect_refused(const test::TempDir& dir, const std::vector<std::string>& args, const std::string& reason) {
    ztest::expect_refused(dir.path(), args, reason);
    if (fs::exists(dir / "out")) {
        EXPECT_TRUE(ztest::files_in(dir / "out").empty()) << args.front();
    }
}

TEST(ZhostSaveLoad, RefusedSavesSayWhyAndLeaveNothing) {
    test::TempDir dir;
    fs::create_directory(dir / "out");
    fs::create_directory(dir / "locked");
    fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    const bool root = ::geteuid() == 0;  // root writes anywhere
    ztest::write_image((dir / "rgb.exr").string(), W, H, {"R", "G", "B"}, ztest::samples(W * H, 3));
    ztest::write_image((dir / "small.exr").string(), W - 1, H, {"R", "G", "B"}, ztest::samples((W - 1) * H, 3));
    ztest::write_image((dir / "d.0001.exr").string(), W, H, {"Z"}, awkward_depths(W * H, 0));
    ztest::write_image((dir / "d.0002.exr").string(), W, H, {"Z"}, awkward_depths(W * H, 0));
    const std::string long_base = "out/" + std::string(250, 'n');

    expect_refused(dir, {"save", "missing.exr", "--base", "out/z"}, "missing.exr: no such file");
    expect_refused(dir, {"save", "rgb.exr", "--base", "out/z"}, "rgb.exr: no Z channel");
    expect_refused(dir, {"save", "rgb.exr", "--base", "out/z", "--depth-channel", "Q"}, "no channel \"Q\"");
    expect_refused(dir, {"save", "d.0001.exr", "--rgb", "small.exr", "--base", "out/z"}, "size 6x5 differs from 7x5");
    expect_refused(dir, {"save", "d.####.exr", "--frames", "1-3", "--base", "out/z"}, "d.0003.exr: no such file");
    expect_refused(dir, {"save", "d.0001.exr", "--base", "nowhere/z"}, "nowhere: cannot write there");
    expect_refused(dir, {"save", "d.0001.exr", "--base", long_base}, "base path too long");
    if (!root) expect_refused(dir, {"save", "d.0001.exr", "--base", "locked/z"}, "locked: cannot write there");
    fs::permissions(dir / "locked", fs::perms::owner_all);
}

TEST(ZhostSaveLoad, RefusedLoadsNameTheLoadersVerdict) {
    test::TempDir dir;
    test::write_file(dir / "good.zb", test::depth_file());
    const test::Bytes whole = test::depth_file();
    test::write_file(dir / "cut.zb", test::Bytes(whole.begin(), whole.end() - 9));
    test::HeaderFields compressed;
    compressed.compression = 1;
    test::write_file(dir / "compressed.zb", test::depth_file(compressed));
    ztest::write_image((dir / "picture.exr").string(), W, H, {"Z"}, awkward_depths(W * H, 0));

    expect_refused(dir, {"load", "missing.zb", "-o", "o.exr"}, "missing.zb: cannot open: No such file or directory");
    expect_refused(dir, {"load", "picture.exr", "-o", "o.exr"}, "picture.exr: not a depth file");
    expect_refused(dir, {"load", "compressed.zb", "-o", "o.exr"}, "not a depth file: compression is 1");
    expect_refused(dir, {"load", "cut.zb", "-o", "o.exr"}, "cut.zb: truncated after 1 of 3 rows");
    expect_refused(dir, {"load", "good.zb", "-o", "nowhere/o.exr"}, "nowhere/o.exr: cannot write");
    expect_refused(dir, {"load", "good.zb", "-o", "o.unknownformat"}, "no image format");
    const ztest::RunResult good = run_zhost({"load", "good.zb", "-o", "o.exr"}, dir.path());
    EXPECT_EQ(good.status, 0) << good.err;
    std::vector<float> expected;
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 2; ++x) expected.push_back(float(x + 10 * y));
    EXPECT_EQ(ztest::bits_of(read_image(dir / "o.exr").pixels), ztest::bits_of(expected));
#if !defined(_WIN32)
    // Through a FIFO, which can be read once and not moved: the same verdicts.
    struct Piped { const char* from; int status; const char* err; } piped[] = {
        {"good.zb", 0, ""},
        {"cut.zb", 1, "fifo.zb: truncated after 1 of 3 rows"},
    };
    for (const Piped& c : piped) {
        fs::remove(dir / "fifo.zb");
        fs::remove(dir / "p.exr");
        ASSERT_EQ(::mkfifo((dir / "fifo.zb").c_str(), 0600), 0);
        std::signal(SIGPIPE, SIG_IGN);  // zhost may stop reading before the writer ends
        std::thread writer([&] { test::write_file(dir / "fifo.zb", test::read_file(dir / c.from)); });
        const ztest::RunResult run = run_zhost({"load", "fifo.zb", "-o", "p.exr"}, dir.path());
        ::close(::open((dir / "fifo.zb").c_str(), O_RDONLY | O_NONBLOCK));  // frees a writer left waiting
        writer.join();
        EXPECT_EQ(run.status, c.status) << c.from << "\n" << run.err;
        EXPECT_TRUE(contains(run.err, c.err)) << c.from << "\n" << run.err;
        if (c.status == 0) { EXPECT_EQ(ztest::bits_of(read_image(dir / "p.exr").pixels), ztest::bits_of(expected)); }
    }
#endif
}

}  // namespace
