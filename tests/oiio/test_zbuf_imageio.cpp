// The OpenImageIO format plug-in's reader and writer in process, against
// the module run through the host: every hostile file gives the outcome and
// rows the loader gives, and every image gives the saver's file.
#include <gtest/gtest.h>

#include <OpenImageIO/half.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "host/file_requester.h"
#include "host/frame.h"
#include "host/image_filter.h"
#include "host/image_loader.h"
#include "host/messages.h"
#include "oiio/zbuf_imageio.h"
#include "tests/conformance/hostile_corpus.h"
#include "zbuf_refusals.h"

namespace fs = std::filesystem;
using test::Bytes;

namespace {

struct Corpus {
    std::string name;
    Bytes bytes;
    std::string reason;  // words the refusal must hold; empty when accepted
};

std::vector<Corpus> corpus() {
    std::vector<Corpus> files;
    for (const test::Refusal& r : test::refusals()) files.push_back({r.name, r.bytes, r.explanation});
    for (auto& [name, bytes] : conformance::hostile_corpus()) files.push_back({name, bytes, ""});
    for (const auto& entry : fs::directory_iterator(OBK_FUZZ_CORPUS)) {
        files.push_back({entry.path().filename().string(), test::read_file(entry.path()), ""});
    }
    return files;
}

// What the plug-in reads of a file: whether it opens, the refusal, and the
// rows it reads before the first error.
struct PluginRead {
    bool opened = false;
    std::string error;
    int rows = 0;
    std::vector<float> pixels;
};

PluginRead read_with_plugin(const fs::path& path) {
    obk_oiio::ZbufInput input;
    PluginRead read;
    OIIO::ImageSpec spec;
    read.opened = input.open(path.string(), spec);
    if (!read.opened) {
        read.error = input.geterror();
        return read;
    }
    // A row that is not in the file is never written into the buffer: a
    // header may announce rows of gigabytes above a body of a few bytes.
    const std::size_t file_size = fs::file_size(path);
    std::vector<float> row(std::min<std::size_t>(std::size_t(spec.width), file_size));
    for (; read.rows < spec.height; ++read.rows) {
        if (!input.read_native_scanline(0, 0, read.rows, 0, row.data())) break;
        read.pixels.insert(read.pixels.end(), row.begin(), row.begin() + spec.width);
    }
    read.error = input.geterror();
    return read;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

class ZbufImageIO : public ::testing::Test {
protected:
    std::unique_ptr<host::Module> module = host::Module::open(test::module_path());
    test::TempDir dir;
};

}  // namespace

TEST_F(ZbufImageIO, EveryHostileFileReadsAsTheLoaderLoadsIt) {
    const fs::path path = dir / "hostile.zb";
    for (const Corpus& file : corpus()) {
        SCOPED_TRACE(file.name);
        test::write_file(path, file.bytes);
        const host::ImageLoad load = host::load_depth_image(*module, path.string());
        const PluginRead read = read_with_plugin(path);

        ASSERT_EQ(read.opened, load.status != STATUS_NOT_RECOGNISED) << read.error;
        if (!read.opened) {
            EXPECT_NE(read.error.find("not a depth file that can be read: "), std::string::npos) << read.error;
            EXPECT_NE(read.error.find(file.reason), std::string::npos) << read.error;
            continue;
        }
        EXPECT_EQ(read.rows, load.rows_received);
        if (load.status == STATUS_OK) {
            EXPECT_TRUE(same_bits(read.pixels, load.image->pixels));
        } else {
            const std::string row = "the body ends inside row " + std::to_string(read.rows) + " of ";
            EXPECT_NE(read.error.find(row), std::string::npos) << read.error;
        }
    }
}

namespace {

// Depths with the bit patterns a renderer can leave, around the blocks of
// 16 the statistics take at once.
float depth_at(int x, int y) {
    static const float specials[] = {-0.0f, 0.0f, std::numeric_limits<float>::infinity(),
                                     -std::numeric_limits<float>::infinity(),
                                     std::numeric_limits<float>::quiet_NaN(), 1e20f, -1e20f, 7.5f};
    if ((x * 5 + y) % 11 == 4) return specials[(x + 3 * y) % std::size(specials)];
    return 100.0f - 0.5f * float(x) + 2.0f * float(y);
}

struct Layout {
    const char* name;
    std::vector<std::string> channels;
    int depth_channel;
    OIIO::TypeDesc type;
};

// The saver's file for `depths` (width x height, rows from the top).
Bytes saver_file(const host::Module& module, const fs::path& dir, int width, int height,
                 const std::vector<float>& depths) {
    host::MessageLog messages;
    host::ScriptedFileRequester requester((dir / "saver").string());
    host::ImageFilter saver(module, "OBK_ZSave");
    saver.options();
    host::Frame frame(width, height, 1);
    std::copy(depths.begin(), depths.end(), frame.samples(BUF_DEPTH).begin());
    saver.process(frame);
    EXPECT_EQ(messages.size(), 0u);
    return test::read_file(dir / "saver0001.zb");
}

}  // namespace

TEST_F(ZbufImageIO, WritesTheSaversFileFromTheDepthChannel) {
    const Layout layouts[] = {
        {"one float channel Z", {"Z"}, 0, OIIO::TypeDesc::FLOAT},
        {"one channel of another name", {"depth"}, 0, OIIO::TypeDesc::FLOAT},
        {"Z after RGBA", {"R", "G", "B", "A", "Z"}, 4, OIIO::TypeDesc::FLOAT},
        {"half samples", {"Z"}, 0, OIIO::TypeDesc::HALF},
    };
    const std::pair<int, int> sizes[] = {{1, 1}, {16, 2}, {17, 3}, {33, 1}, {5, 0}};
    for (const Layout& layout : layouts) {
        for (auto [width, height] : sizes) {
            SCOPED_TRACE(std::string(layout.name) + " " + std::to_string(width) + "x" + std::to_string(height));
            const auto channels = int(layout.channels.size());
            std::vector<float> pixels(std::size_t(width) * height * channels, 0.25f);
            std::vector<float> depths(std::size_t(width) * height);
            for (int y = 0; y < height; ++y) {
                for (int x = 0; x < width; ++x) {
                    float depth = depth_at(x, y);
                    if (layout.type == OIIO::TypeDesc::HALF) depth = float(half(depth));
                    depths[std::size_t(y) * width + x] = depth;
                    pixels[(std::size_t(y) * width + x) * channels + layout.depth_channel] = depth;
                }
            }
            OIIO::ImageSpec spec(width, height, channels, layout.type);
            spec.channelnames = layout.channels;
            obk_oiio::ZbufOutput output;
            const fs::path path = dir / "plugin.zb";
            ASSERT_TRUE(output.open(path.string(), spec)) << output.geterror();
            // Rows arrive as floats and are converted to the spec's type first.
            for (int y = 0; y < height; ++y) {
                std::vector<unsigned char> row(std::size_t(width) * channels * layout.type.size());
                OIIO::convert_pixel_values(OIIO::TypeDesc::FLOAT, &pixels[std::size_t(y) * width * channels],
                                           layout.type, row.data(), width * channels);
                ASSERT_TRUE(output.write_scanline(y, 0, layout.type, row.data())) << output.geterror();
            }
            ASSERT_TRUE(output.close()) << output.geterror();
            EXPECT_EQ(test::read_file(path), saver_file(*module, dir.path(), width, height, depths));
        }
    }
}

TEST_F(ZbufImageIO, RefusesWhatADepthFileCannotHold) {
    // 536870897 x 1 x 4 + 56 is the largest FORM size below 2^31.
    const auto spec_of = [](int width, int height, std::vector<std::string> channels) {
        OIIO::ImageSpec spec(width, height, int(channels.size()), OIIO::TypeDesc::FLOAT);
        spec.channelnames = std::move(channels);
        return spec;
    };
    OIIO::ImageSpec tiled = spec_of(4, 4, {"Z"});
    tiled.tile_width = tiled.tile_height = 2;
    OIIO::ImageSpec deep = spec_of(4, 4, {"Z"});
    deep.deep = true;
    const struct {
        const char* name;
        OIIO::ImageSpec spec;
        OIIO::ImageOutput::OpenMode mode;
        const char* refusal;  // empty when opened
    } cases[] = {
        {"largest width", spec_of(536870897, 1, {"Z"}), OIIO::ImageOutput::Create, ""},
        {"one past it", spec_of(536870898, 1, {"Z"}), OIIO::ImageOutput::Create, "does not fit a depth file"},
        {"width 0", spec_of(0, 4, {"Z"}), OIIO::ImageOutput::Create, "does not fit a depth file"},
        {"RGB without Z", spec_of(4, 4, {"R", "G", "B"}), OIIO::ImageOutput::Create, "3 channels (R, G, B) and none named Z"},
        {"tiles", tiled, OIIO::ImageOutput::Create, "tiles"},
        {"deep", deep, OIIO::ImageOutput::Create, "deep data"},
        {"second subimage", spec_of(4, 4, {"Z"}), OIIO::ImageOutput::AppendSubimage, "holds one image"},
    };
    const fs::path path = dir / "refused.zb";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        obk_oiio::ZbufOutput output;
        const bool opened = output.open(path.string(), c.spec, c.mode);
        EXPECT_EQ(opened, *c.refusal == '\0');
        output.close();
        EXPECT_NE(output.geterror().find(c.refusal), std::string::npos);
        EXPECT_TRUE(fs::is_empty(dir.path())) << "a file was left behind";
    }
}

TEST_F(ZbufImageIO, AnImageLeftIncompleteLeavesTheDestinationAsItWas) {
    const fs::path path = dir / "kept.zb";
    test::write_file(path, Bytes{'o', 'l', 'd'});
    const float row[3] = {1.0f, 2.0f, 3.0f};
    const struct {
        const char* name;
        std::vector<int> rows;  // written in this order
        const char* error;
    } cases[] = {
        {"two of three rows", {0, 1}, "only 2 of 3 rows were written"},
        {"a row skipped", {0, 2}, "row 2 came when row 1 was due"},
        {"a row twice", {0, 0}, "row 0 came when row 1 was due"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        obk_oiio::ZbufOutput output;
        ASSERT_TRUE(output.open(path.string(), OIIO::ImageSpec(3, 3, 1, OIIO::TypeDesc::FLOAT)));
        for (int y : c.rows) output.write_scanline(y, 0, OIIO::TypeDesc::FLOAT, row);
        EXPECT_FALSE(output.close());
        EXPECT_NE(output.geterror().find(c.error), std::string::npos);
        EXPECT_EQ(test::read_file(path), (Bytes{'o', 'l', 'd'}));
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
    }
}
