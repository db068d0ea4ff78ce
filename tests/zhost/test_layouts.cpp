// Every layout of the images that renderers and compositing packages write
// (scan lines and tiles, MIP-maps, every EXR compression, half, float and
// integer channels, TIFF and PNG) decodes through zhost exactly as through
// OpenImageIO's own reader; `save` and `comp` on each give the same bits as
// on the same pixels stored as plain scan lines.
#include <gtest/gtest.h>

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <filesystem>
#include <string>
#include <vector>

#include "zhost/images/image_read.h"
#include "zhost_test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr int W = 37, H = 23;  // tiles of 16 and 32 stay partial

enum class Levels { ONE, MIPMAP };

struct Layout {
    std::string file;
    std::string compression;
    OIIO::TypeDesc type;
    int tile_width = 0;  // 0: scan lines
    int tile_height = 0;
    Levels levels = Levels::ONE;
};

// R, G, B, A and Z (PNG: R, G, B, A) varying across the image.
OIIO::ImageBuf pixels_for(const Layout& layout) {
    const bool png = layout.file == "png";
    const int channels = png ? 4 : 5;
    const float scale = layout.type.basetype == OIIO::TypeDesc::FLOAT || layout.type.basetype == OIIO::TypeDesc::HALF
                            ? 1.0f
                            : 1.0f / 2048.0f;  // integers: fractions of their range
    OIIO::ImageSpec spec(W, H, channels, OIIO::TypeDesc::FLOAT);
    spec.channelnames = png ? std::vector<std::string>{"R", "G", "B", "A"}
                            : std::vector<std::string>{"R", "G", "B", "A", "Z"};
    OIIO::ImageBuf buf(spec);
    const std::vector<float> values = ztest::samples(W * H, channels);
    std::vector<float> scaled;
    for (float v : values) scaled.push_back(v * scale);
    buf.set_pixels(OIIO::ROI::All(), OIIO::TypeDesc::FLOAT, scaled.data());
    return buf;
}

void write_layout(const std::string& path, const Layout& layout) {
    OIIO::ImageBuf buf = pixels_for(layout);
    buf.set_write_format(layout.type);
    buf.specmod().attribute("compression", layout.compression);
    if (layout.levels == Levels::MIPMAP) {
        OIIO::ImageSpec config;
        config.tile_width = layout.tile_width;
        config.tile_height = layout.tile_height;
        config.tile_depth = 1;
        config.attribute("compression", layout.compression);
        config.set_format(layout.type);
        ASSERT_TRUE(OIIO::ImageBufAlgo::make_texture(OIIO::ImageBufAlgo::MakeTxTexture, buf, path, config))
            << path << ": " << OIIO::geterror();
        return;
    }
    buf.set_write_tiles(layout.tile_width, layout.tile_height);
    ASSERT_TRUE(buf.write(path)) << path << ": " << buf.geterror();
}

// The first level of the file as OpenImageIO's reader decodes it, as floats.
std::vector<float> decoded_by_oiio(const std::string& path) {
    OIIO::ImageBuf buf(path);
    EXPECT_TRUE(buf.read(0, 0, true, OIIO::TypeDesc::FLOAT)) << path << ": " << buf.geterror();
    std::vector<float> values(std::size_t(W) * H * std::size_t(buf.nchannels()));
    EXPECT_TRUE(buf.get_pixels(OIIO::ROI::All(), OIIO::TypeDesc::FLOAT, values.data()));
    return values;
}

// The same pixels as the file's first level, stored as plain scan lines
// without compression in the file's format and type.
void write_plain_twin(const std::string& path, const std::string& twin) {
    OIIO::ImageBuf buf(path);
    ASSERT_TRUE(buf.read(0, 0, true)) << path;
    buf.set_write_tiles(0, 0);
    buf.specmod().attribute("compression", "none");
    buf.specmod().erase_attribute("openexr:levelmode");
    ASSERT_TRUE(buf.write(twin)) << twin << ": " << buf.geterror();
}

std::vector<Layout> layouts() {
    std::vector<Layout> all;
    const OIIO::TypeDesc HALF = OIIO::TypeDesc::HALF, FLOAT = OIIO::TypeDesc::FLOAT, UINT = OIIO::TypeDesc::UINT32;
    struct Tiling { int width, height; Levels levels; };
    const Tiling tilings[] = {{0, 0, Levels::ONE},   {16, 16, Levels::ONE}, {32, 16, Levels::ONE},
                              {64, 64, Levels::ONE}, {16, 16, Levels::MIPMAP}};
    for (const char* compression : {"none", "rle", "zips", "zip", "piz", "pxr24", "b44", "b44a", "dwaa", "dwab"}) {
        for (const Tiling& t : tilings) {
            for (OIIO::TypeDesc type : {HALF, FLOAT}) {
                all.push_back({"exr", compression, type, t.width, t.height, t.levels});
            }
        }
        all.push_back({"exr", compression, UINT});
    }
    for (const char* compression : {"none", "zip", "lzw", "packbits"}) {
        for (OIIO::TypeDesc type : {OIIO::TypeDesc(OIIO::TypeDesc::UINT8), OIIO::TypeDesc(OIIO::TypeDesc::UINT16), HALF, FLOAT}) {
            all.push_back({"tif", compression, type});
            all.push_back({"tif", compression, type, 16, 16});
        }
    }
    all.push_back({"png", "zip", OIIO::TypeDesc::UINT8});
    all.push_back({"png", "zip", OIIO::TypeDesc::UINT16});
    return all;
}

std::string name_of(const Layout& l) {
    return std::string(l.compression) + "-" + l.type.c_str() + "-" +
           (l.tile_width == 0 ? std::string("lines") : std::to_string(l.tile_width) + "x" + std::to_string(l.tile_height)) +
           (l.levels == Levels::MIPMAP ? "-mip" : "") + "." + l.file;
}

}  // namespace

TEST(ReadLayouts, EveryLayoutDecodesAsOpenImageIOAndCommandsGiveTheBitsOfPlainScanLines) {
    test::TempDir dir;
    ztest::write_image((dir / "z.exr").string(), W, H, {"Z"}, ztest::samples(W * H, 1));
    ztest::write_image((dir / "c.exr").string(), W, H, {"R", "G", "B"}, ztest::samples(W * H, 3));
    const std::vector<Layout> all = layouts();
    for (std::size_t index = 0; index < all.size(); ++index) {
        const Layout& layout = all[index];
        const std::string name = name_of(layout), path = (dir / name).string();
        write_layout(path, layout);
        const std::vector<std::string> channels = zhost::channel_names(path);
        const host::Image read = zhost::read_channels(path, channels);
        EXPECT_EQ(ztest::bits_of(read.pixels), ztest::bits_of(decoded_by_oiio(path))) << name;

        // The commands: the last channel as the depth, outputs without loss.
        // (PNG has one layout, and no twin: OpenImageIO's reader scales its
        // colour by alpha, and writing it back does not give the same bytes.)
        // Under the sanitizers, every third layout.
        if (layout.file == "png" || (ztest::SANITIZED && index % 3 != 0)) {
            fs::remove(path);
            continue;
        }
        const std::string twin = "plain-" + name;
        write_plain_twin(path, (dir / twin).string());
        for (const std::string& input : {name, twin}) {
            const auto run = ztest::run_in(dir.path(), {"save", input, "--base", input + "-", "--frame", "1",
                                                       "--depth-channel", channels.back()});
            EXPECT_EQ(run.status, 0) << input << ": " << run.err;
            const auto comp = ztest::run_in(dir.path(), {"comp", "--render", input, "--depth-channel", channels.back(),
                                                        "--zbuffer", "z.exr", "--comp", "c.exr", "-d", "float",
                                                        "--compression", "none", "-o", input + "-out.exr"});
            EXPECT_EQ(comp.status, 0) << input << ": " << comp.err;
        }
        EXPECT_EQ(test::read_file(dir / (name + "-0001.zb")), test::read_file(dir / (twin + "-0001.zb"))) << name;
        EXPECT_EQ(ztest::bits_of(decoded_by_oiio((dir / (name + "-out.exr")).string())),
                  ztest::bits_of(decoded_by_oiio((dir / (twin + "-out.exr")).string())))
            << name;
        for (const fs::path& file : {fs::path(path), dir / twin, dir / (name + "-0001.zb"), dir / (twin + "-0001.zb"),
                                     dir / (name + "-out.exr"), dir / (twin + "-out.exr")}) {
            fs::remove(file);
        }
    }
}

// A part of a multi-part file of its own compression: DWAA beside zip.
TEST(ReadLayouts, APartOfAnotherLayoutThanTheFirstDecodesAsOpenImageIO) {
    test::TempDir dir;
    const std::string path = (dir / "parts.exr").string();
    OIIO::ImageSpec specs[2] = {OIIO::ImageSpec(W, H, 4, OIIO::TypeDesc::HALF), OIIO::ImageSpec(W, H, 1, OIIO::TypeDesc::FLOAT)};
    specs[0].channelnames = {"R", "G", "B", "A"};
    specs[0].attribute("compression", "zip");
    specs[0].attribute("oiio:subimagename", "beauty");
    specs[1].channelnames = {"Z"};
    specs[1].attribute("compression", "dwaa");
    specs[1].attribute("oiio:subimagename", "depth");
    auto out = OIIO::ImageOutput::create(path);
    ASSERT_TRUE(out && out->open(path, 2, specs));
    ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, ztest::samples(W * H, 4).data()));
    ASSERT_TRUE(out->open(path, specs[1], OIIO::ImageOutput::AppendSubimage)) << out->geterror();
    ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, ztest::samples(W * H, 1).data()));
    ASSERT_TRUE(out->close());

    OIIO::ImageBuf depth(path, 1, 0);
    ASSERT_TRUE(depth.read(1, 0, true, OIIO::TypeDesc::FLOAT));
    std::vector<float> expected(W * H);
    ASSERT_TRUE(depth.get_pixels(OIIO::ROI::All(), OIIO::TypeDesc::FLOAT, expected.data()));
    EXPECT_EQ(ztest::bits_of(zhost::read_depth(path, {"depth", "", ""}).pixels), ztest::bits_of(expected));
}
