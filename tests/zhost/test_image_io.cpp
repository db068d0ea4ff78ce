// Reading images by channel and writing float images bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include <OpenImageIO/deepdata.h>

#include "zhost/images/image_io.h"
#include "zhost/text/error.h"
#include "zhost_test_support.h"

using ztest::sample;

namespace {

constexpr int W = 3, H = 2;

// Expects `image` to hold, per pixel, the samples of the source channels listed.
void expect_channels(const host::Image& image, const std::vector<int>& sources, const char* what) {
    ASSERT_EQ(image.width, W) << what;
    ASSERT_EQ(image.height, H) << what;
    ASSERT_EQ(image.channels, int(sources.size())) << what;
    for (int p = 0; p < W * H; ++p)
        for (std::size_t c = 0; c < sources.size(); ++c)
            EXPECT_EQ(image.pixels[p * sources.size() + c], sample(p, sources[c])) << what << " pixel " << p << " channel " << c;
}

std::string error_of(auto action) {
    try {
        action();
    } catch (const zhost::Error& error) {
        return error.what();
    }
    return "(no error)";
}

host::Image image_of(int channels, std::vector<float> pixels) {
    host::Image image;
    image.width = W;
    image.height = H;
    image.channels = channels;
    image.pixels = std::move(pixels);
    return image;
}

// Writes the parts of a multi-part file, each named, with OpenImageIO.
void write_parts(const std::string& path, const std::vector<std::pair<std::string, std::vector<std::string>>>& parts) {
    std::vector<OIIO::ImageSpec> specs;
    for (const auto& [name, channels] : parts) {
        specs.emplace_back(W, H, int(channels.size()), OIIO::TypeDesc::FLOAT);
        specs.back().channelnames = channels;
        specs.back().attribute("oiio:subimagename", name);
    }
    auto out = OIIO::ImageOutput::create(path);
    ASSERT_TRUE(out && out->open(path, int(specs.size()), specs.data())) << path;
    for (std::size_t i = 0; i < specs.size(); ++i) {
        if (i > 0) {
            ASSERT_TRUE(out->open(path, specs[i], OIIO::ImageOutput::AppendSubimage));
        }
        ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, ztest::samples(W * H, specs[i].nchannels).data()));
    }
    ASSERT_TRUE(out->close());
}

// A deep image of RGBA and Z with no samples in any pixel.
void write_deep(const std::string& path) {
    OIIO::ImageSpec spec(W, H, 5, OIIO::TypeDesc::FLOAT);
    spec.channelnames = {"R", "G", "B", "A", "Z"};
    spec.deep = true;
    const OIIO::DeepData deep(spec);
    auto out = OIIO::ImageOutput::create(path);
    ASSERT_TRUE(out && out->open(path, spec) && out->write_deep_image(deep) && out->close()) << path;
}

}  // namespace

TEST(ReadImage, SelectsChannelsByName) {
    test::TempDir dir;
    const std::string exr = dir / "render.exr";
    ztest::write_image(exr, W, H, {"R", "G", "B", "A", "Z"}, ztest::samples(W * H, 5));
    const std::string layered = dir / "layered.exr";
    ztest::write_image(layered, W, H, {"R", "G", "B", "depth.Z"}, ztest::samples(W * H, 4));
    const std::string grey = dir / "grey.exr";
    ztest::write_image(grey, W, H, {"Y"}, ztest::samples(W * H, 1));
    const std::string two = dir / "two.exr";
    ztest::write_image(two, W, H, {"Y", "A"}, ztest::samples(W * H, 2));
    const std::string layers = dir / "layers.exr";
    ztest::write_image(layers, W, H, {"beauty.R", "beauty.G", "beauty.B", "beauty.A", "beauty.Z", "spec.R", "left.Z"},
                       ztest::samples(W * H, 7));
    const std::string parts = dir / "parts.exr";
    write_parts(parts, {{"beauty", {"R", "G", "B", "A"}}, {"depth", {"Y", "Z"}}});

    // Channel indices below are those of the samples as written; OpenEXR
    // stores channels in its own order, so only names can find them.
    expect_channels(zhost::read_depth(exr), {4}, "Z by default");
    expect_channels(zhost::read_depth(exr, {"", "", "G"}), {1}, "named depth channel");
    expect_channels(zhost::read_depth(exr, {"", "", "z"}), {4}, "name in another case");
    expect_channels(zhost::read_depth(layered), {3}, "Z of a layer");
    expect_channels(zhost::read_depth(grey), {0}, "the one channel of a grey image");
    expect_channels(zhost::read_channels(exr, {"B", "R"}), {2, 0}, "channels in the order asked");
    expect_channels(zhost::read_rgba(exr), {0, 1, 2, 3}, "RGBA of an RGBAZ image");
    expect_channels(zhost::read_rgba(two), {0, 0, 0, 1}, "grey with alpha");
    expect_channels(zhost::read_rgba(layers, {"", "beauty", ""}), {0, 1, 2, 3}, "RGBA of a layer");
    expect_channels(zhost::read_depth(layers, {"", "beauty", ""}), {4}, "Z of the layer first");
    expect_channels(zhost::read_depth(layers, {"", "", "left.Z"}), {6}, "depth channel named in full");
    expect_channels(zhost::read_depth(parts, {"1", "", ""}), {1}, "Z of the part by index");
    expect_channels(zhost::read_depth(parts, {"depth", "", ""}), {1}, "Z of the part by name");
    const zhost::RgbaAndDepth both = zhost::read_rgba_and_depth(layered);
    expect_channels(both.depth, {3}, "depth of one read");
    ASSERT_EQ(both.rgba.channels, 4);
    for (int p = 0; p < W * H; ++p) {
        EXPECT_EQ(both.rgba.pixels[p * 4 + 1], sample(p, 1)) << "green of one read";
        EXPECT_EQ(both.rgba.pixels[p * 4 + 3], 1.0f) << "alpha of one read without one";
    }

    const host::Image rgba = zhost::read_rgba(grey);
    ASSERT_EQ(rgba.channels, 4);
    for (int p = 0; p < W * H; ++p) {
        EXPECT_EQ(rgba.pixels[p * 4], sample(p, 0));
        EXPECT_EQ(rgba.pixels[p * 4 + 2], sample(p, 0));
        EXPECT_EQ(rgba.pixels[p * 4 + 3], 1.0f) << "alpha of an image without one";
    }
}

// An image's pixels sit at their coordinates in its display window; where
// the data window does not reach, colour and alpha are 0 and depth infinite.
TEST(ReadImage, DataWindowsArePlacedByTheirPixelCoordinates) {
    struct Window { int x, y, width, height; };
    struct Case { const char* name; Window display, data; };
    const Case cases[] = {
        {"smaller and offset", {0, 0, 6, 4}, {2, 1, 3, 2}},
        {"larger on every side", {0, 0, 4, 3}, {-1, -1, 6, 5}},
        {"display away from the origin", {10, 20, 4, 3}, {11, 20, 2, 3}},
        {"apart", {0, 0, 3, 2}, {5, 5, 2, 2}},
    };
    for (const Case& c : cases) {
        test::TempDir dir;
        const std::string path = dir / "windowed.exr";
        OIIO::ImageSpec spec(c.data.width, c.data.height, 5, OIIO::TypeDesc::FLOAT);
        spec.x = c.data.x;
        spec.y = c.data.y;
        spec.full_x = c.display.x;
        spec.full_y = c.display.y;
        spec.full_width = c.display.width;
        spec.full_height = c.display.height;
        spec.channelnames = {"R", "G", "B", "A", "Z"};
        auto out = OIIO::ImageOutput::create(path);
        ASSERT_TRUE(out && out->open(path, spec) &&
                    out->write_image(OIIO::TypeDesc::FLOAT, ztest::samples(c.data.width * c.data.height, 5).data()) &&
                    out->close());

        const zhost::RgbaAndDepth read = zhost::read_rgba_and_depth(path);
        ASSERT_EQ(read.rgba.width, c.display.width) << c.name;
        ASSERT_EQ(read.rgba.height, c.display.height) << c.name;
        ASSERT_EQ(read.depth.width, c.display.width) << c.name;
        for (int y = 0; y < c.display.height; ++y) {
            for (int x = 0; x < c.display.width; ++x) {
                const int fx = c.display.x + x - c.data.x, fy = c.display.y + y - c.data.y;
                const bool inside = fx >= 0 && fy >= 0 && fx < c.data.width && fy < c.data.height;
                const int p = fy * c.data.width + fx;
                for (int ch = 0; ch < 4; ++ch)
                    EXPECT_EQ(read.rgba.at(x, y, ch), inside ? sample(p, ch) : 0.0f) << c.name << " " << x << "," << y;
                EXPECT_EQ(read.depth.at(x, y), inside ? sample(p, 4) : std::numeric_limits<float>::infinity())
                    << c.name << " " << x << "," << y;
            }
        }
    }
}

// Integer samples as stored: depth keeps their numbers (never rescaled),
// colour takes them as fractions of their type's range.
TEST(ReadImage, DepthStoredAsIntegersKeepsItsNumbers) {
    test::TempDir dir;
    struct Case { const char* file; OIIO::TypeDesc type; std::vector<uint32_t> stored; double top; };
    const Case cases[] = {
        {"u8.png", OIIO::TypeDesc::UINT8, {0, 7, 51, 255, 128, 1}, 255.0},
        {"u16.tif", OIIO::TypeDesc::UINT16, {0, 7, 1234, 65535, 300, 2}, 65535.0},
        {"u32.exr", OIIO::TypeDesc::UINT32, {0, 7, 16777216, 4294967295u, 100000, 3}, 4294967295.0},
    };
    for (const Case& c : cases) {
        const std::string path = dir / c.file;
        std::vector<unsigned char> raw(c.stored.size() * c.type.size());
        for (std::size_t i = 0; i < c.stored.size(); ++i) {
            const uint8_t u8 = uint8_t(c.stored[i]);
            const uint16_t u16 = uint16_t(c.stored[i]);
            std::memcpy(&raw[i * c.type.size()], c.type.size() == 1 ? static_cast<const void*>(&u8)
                                                : c.type.size() == 2 ? static_cast<const void*>(&u16)
                                                                     : static_cast<const void*>(&c.stored[i]),
                        c.type.size());
        }
        auto out = OIIO::ImageOutput::create(path);
        OIIO::ImageSpec spec(W, H, 1, c.type);
        spec.channelnames = {"Z"};
        ASSERT_TRUE(out && out->open(path, spec) && out->write_image(c.type, raw.data()) && out->close()) << c.file;

        const host::Image depth = zhost::read_depth(path);
        const host::Image grey = zhost::read_rgba(path);
        for (std::size_t i = 0; i < c.stored.size(); ++i) {
            EXPECT_EQ(depth.pixels[i], float(c.stored[i])) << c.file << " depth " << i;
            EXPECT_FLOAT_EQ(grey.pixels[i * 4], float(c.stored[i] / c.top)) << c.file << " colour " << i;
        }
    }
}

TEST(ReadImage, ExplainsMissingFilesAndChannelsInOneLine) {
    test::TempDir dir;
    const std::string rgb = dir / "rgb.exr";
    ztest::write_image(rgb, W, H, {"R", "G", "B"}, ztest::samples(W * H, 3));
    const std::string xy = dir / "xy.exr";
    ztest::write_image(xy, W, H, {"X", "Y"}, ztest::samples(W * H, 2));
    test::write_file(dir / "junk.exr", test::Bytes{'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'});
    const std::string missing = dir / "missing.exr";
    const std::string layers = dir / "layers.exr";
    ztest::write_image(layers, W, H, {"left.R", "left.G", "left.B", "left.Z", "right.R", "right.Z"},
                       ztest::samples(W * H, 6));
    const std::string parts = dir / "parts.exr";
    write_parts(parts, {{"beauty", {"R", "G", "B", "A"}}, {"depth", {"Z"}}});
    const std::string deep = dir / "deep.exr";
    write_deep(deep);

    struct Case { std::string message; std::string expected; };
    const Case cases[] = {
        {error_of([&] { zhost::read_depth(missing); }), missing + ": no such file"},
        {error_of([&] { zhost::read_depth(dir.path().string()); }), "is a directory"},
        {error_of([&] { zhost::read_depth(rgb); }), "no Z channel and more than one channel (R, G, B)"},
        {error_of([&] { zhost::read_depth(rgb, {"", "", "depth"}); }), "no channel \"depth\" (channels: R, G, B)"},
        {error_of([&] { zhost::read_rgba(xy); }), "no R, G and B channels (channels: X, Y)"},
        {error_of([&] { zhost::read_rgba_and_depth(rgb); }), "no Z channel and more than one channel (R, G, B)"},
        {error_of([&] { zhost::read_rgba_and_depth(xy); }), "no R, G and B channels (channels: X, Y)"},
        {error_of([&] { zhost::read_rgba((dir / "junk.exr").string()); }), "not an image that can be read"},
        {error_of([&] { zhost::read_depth(layers); }),
         "2 candidate Z channels (left.Z, right.Z); choose one with --depth-channel"},
        {error_of([&] { zhost::read_rgba(layers); }),
         "2 candidate R channels (left.R, right.R); choose one with --render-layer"},
        {error_of([&] { zhost::read_rgba(layers, {"", "right", ""}); }), "no right.R, right.G and right.B channels"},
        {error_of([&] { zhost::read_depth(parts, {"2", "", ""}); }),
         "no part \"2\" for --subimage (parts: 0 beauty, 1 depth)"},
        {error_of([&] { zhost::read_rgba_and_depth(deep); }), "deep.exr: deep images are not supported: flatten them first"},
    };
    for (const Case& c : cases) {
        EXPECT_NE(c.message.find(c.expected), std::string::npos) << c.message;
        EXPECT_EQ(c.message.find('\n'), std::string::npos) << c.message;
    }
}

TEST(WriteFloatImage, KeepsEveryFloatBitForBit) {
    const float special[] = {0.0f, -0.0f, 1.0f / 3.0f, std::numeric_limits<float>::denorm_min(),
                             std::numeric_limits<float>::max(), -std::numeric_limits<float>::infinity(),
                             std::numeric_limits<float>::quiet_NaN(), 1e-38f, 123456.789f, -2.5e-7f,
                             std::nextafter(1.0f, 2.0f), 7.0f};
    std::vector<float> three, one;
    for (int i = 0; i < W * H * 3; ++i) three.push_back(special[i % 12] * (i < 12 ? 1.0f : -1.0f));
    for (int i = 0; i < W * H; ++i) one.push_back(special[(i * 5) % 12]);
    std::vector<float> five = ztest::samples(W * H, 5);
    five[4] = std::numeric_limits<float>::denorm_min();
    five[9] = std::numeric_limits<float>::infinity();

    struct Case { const char* file; int channels; std::vector<std::string> names; const std::vector<float>* pixels; };
    const Case cases[] = {
        {"a.exr", 5, {"R", "G", "B", "A", "Z"}, &five},
        {"a.exr", 1, {"Z"}, &one},
        {"a.tif", 3, {"R", "G", "B"}, &three},
        {"a.tiff", 1, {"Y"}, &one},
        {"a.pfm", 1, {"Y"}, &one},
        {"a.pfm", 3, {"R", "G", "B"}, &three},
    };
    for (const Case& c : cases) {
        test::TempDir dir;
        const std::string path = dir / c.file;
        zhost::write_float_image(path, image_of(c.channels, *c.pixels), c.names);
        const host::Image back = zhost::read_channels(path, c.names);
        EXPECT_EQ(back.width, W) << c.file;
        EXPECT_EQ(back.height, H) << c.file;
        EXPECT_EQ(ztest::bits_of(back.pixels), ztest::bits_of(*c.pixels)) << c.file << ", " << c.channels << " channels";
        EXPECT_EQ(ztest::files_in(dir.path()), std::vector<std::string>{c.file}) << "only the output is left";
    }
}

TEST(WriteFloatImage, PfmRowsRunFromTheBottomAsTheFormatStoresThem) {
    test::TempDir dir;
    const std::string path = dir / "z.pfm";
    zhost::write_float_image(path, image_of(1, {1, 2, 3, 4, 5, 6}), {"Y"});
    test::ByteBuilder expected;
    const std::string header = "Pf\n3 2\n-1.0\n";
    test::Bytes bytes(header.begin(), header.end());
    for (float v : {4.0f, 5.0f, 6.0f, 1.0f, 2.0f, 3.0f}) {
        const uint32_t b = ztest::bits(v);
        for (int k = 0; k < 4; ++k) bytes.push_back(uint8_t(b >> (8 * k)));
    }
    EXPECT_EQ(test::read_file(path), bytes);
}

TEST(WriteFloatImage, LeavesNoFileBehindWhenItFails) {
    test::TempDir dir;
    const host::Image rgba = image_of(4, ztest::samples(W * H, 4));
    const std::vector<std::string> names = {"R", "G", "B", "A"};
    const host::Image grey = image_of(1, ztest::samples(W * H, 1));
    struct Case { std::string path; const host::Image& image; const char* reason; };
    const Case cases[] = {
        {dir / "out.png", rgba, "does not keep 32-bit floats"},
        {dir / "out.pfm", rgba, "PFM holds one or three channels"},
        {dir / "no-such-dir/out.exr", rgba, "cannot write"},
        {dir / "no-such-dir/out.pfm", grey, "cannot write"},
        {dir / "out.unknownformat", rgba, "does not keep"},
    };
    for (const Case& c : cases) {
        const std::vector<std::string> channel_names =
            c.image.channels == 1 ? std::vector<std::string>{"Y"} : names;
        const std::string message = error_of([&] { zhost::write_float_image(c.path, c.image, channel_names); });
        EXPECT_NE(message.find(c.reason), std::string::npos) << c.path << ": " << message;
        EXPECT_NE(message.find(c.path), std::string::npos) << "names the destination: " << message;
        EXPECT_TRUE(ztest::files_in(dir.path()).empty()) << c.path;
    }
}

TEST(WriteFloatImage, ReplacesAnExistingFileOnlyWhenComplete) {
    test::TempDir dir;
    const std::string path = dir / "out.pfm";
    test::write_file(path, test::Bytes{'o', 'l', 'd'});
    EXPECT_THROW(zhost::write_float_image(path, image_of(4, ztest::samples(W * H, 4)), {"R", "G", "B", "A"}),
                 zhost::Error);
    EXPECT_EQ(test::read_file(path), (test::Bytes{'o', 'l', 'd'})) << "a failed write keeps the old file";
    zhost::write_float_image(path, image_of(1, ztest::samples(W * H, 1)), {"Y"});
    EXPECT_EQ(ztest::bits_of(zhost::read_depth(path).pixels), ztest::bits_of(ztest::samples(W * H, 1)));
    EXPECT_EQ(ztest::files_in(dir.path()), std::vector<std::string>{"out.pfm"});
}

TEST(WritePicture, WritesEightBitSamplesExactly) {
    test::TempDir dir;
    zhost::Picture picture;
    picture.width = W;
    picture.height = H;
    picture.channels = 4;
    for (int i = 0; i < W * H * 4; ++i) picture.pixels.push_back(uint8_t(i * 10 + 3));
    const std::string path = dir / "p.png";
    zhost::write_picture(path, picture);
    // Straight alpha, as written: the reader is told not to premultiply.
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = OIIO::ImageInput::open(path, &config);
    ASSERT_TRUE(in);
    ASSERT_EQ(in->spec().nchannels, 4);
    std::vector<uint8_t> back(picture.pixels.size());
    ASSERT_TRUE(in->read_image(0, 0, 0, 4, OIIO::TypeDesc::UINT8, back.data()));
    EXPECT_EQ(back, picture.pixels);
}

namespace {

template <typename T>
std::vector<unsigned char> bytes_of(T value) {
    std::vector<unsigned char> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

}  // namespace

// A sample converted by its number into any stored type: clamped to the
// type's range (a NaN is 0 in an integer), and written in the type's size,
// not one byte more.
TEST(ConvertSample, KeepsNumbersWithinTheTargetTypeAndItsSize) {
    using T = OIIO::TypeDesc;
    struct Case {
        T from;
        std::vector<unsigned char> value;
        T to;
        std::vector<unsigned char> expected;
    };
    const Case cases[] = {
        {T::UINT8, bytes_of<uint8_t>(200), T::UINT16, bytes_of<uint16_t>(200)},
        {T::FLOAT, bytes_of(65535.0f), T::UINT16, bytes_of<uint16_t>(65535)},
        {T::FLOAT, bytes_of(65536.0f), T::UINT16, bytes_of<uint16_t>(65535)},
        {T::FLOAT, bytes_of(-1.0f), T::UINT8, bytes_of<uint8_t>(0)},
        {T::FLOAT, bytes_of(std::nanf("")), T::INT16, bytes_of<int16_t>(0)},
        {T::FLOAT, bytes_of(-129.0f), T::INT8, bytes_of<int8_t>(-128)},
        {T::FLOAT, bytes_of(5e9f), T::UINT32, bytes_of<uint32_t>(4294967295u)},
        {T::UINT32, bytes_of<uint32_t>(16777217), T::FLOAT, bytes_of(16777216.0f)},
        {T::FLOAT, bytes_of(1e30f), T::INT64, bytes_of(std::numeric_limits<int64_t>::max())},
        {T::DOUBLE, bytes_of(-1e30), T::INT64, bytes_of(std::numeric_limits<int64_t>::min())},
        {T::FLOAT, bytes_of(1e30f), T::UINT64, bytes_of(std::numeric_limits<uint64_t>::max())},
        {T::UINT16, bytes_of<uint16_t>(40000), T::DOUBLE, bytes_of(40000.0)},
    };
    constexpr unsigned char GUARD = 0xAB;
    for (const Case& c : cases) {
        const std::string what = std::string(c.from.c_str()) + " to " + c.to.c_str();
        std::vector<unsigned char> out(c.expected.size() + 8, GUARD);
        zhost::convert_sample(c.from, c.value.data(), c.to, out.data());
        EXPECT_EQ(std::vector(out.begin(), out.begin() + std::ptrdiff_t(c.expected.size())), c.expected) << what;
        EXPECT_EQ(std::count(out.begin() + std::ptrdiff_t(c.expected.size()), out.end(), GUARD), 8) << what;
    }
}
