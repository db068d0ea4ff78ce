// Depth files written by the saver load back through the loader bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <vector>

#include "host/file_requester.h"
#include "host/frame.h"
#include "host/image_filter.h"
#include "host/image_loader.h"
#include "host/messages.h"
#include "host/platform.h"
#include "test_support.h"

namespace {

uint32_t bits_of(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// Depths with every kind of bit pattern a renderer can leave: ordinary,
// negative zero, subnormal, infinities and NaNs with payloads.
float depth_at(int32_t x, int32_t y) {
    static const float specials[] = {
        -0.0f, std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::infinity(),
        -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(),
        std::numeric_limits<float>::max(), 1e20f, -1e20f,
    };
    if ((x + y) % 7 == 3) return specials[(x * 3 + y) % std::size(specials)];
    return 0.25f * float(x) + 3.0f * float(y) + 1.0f / float(1 + x + y);
}

}  // namespace

TEST(SaverToLoader, EveryFrameLoadsBackBitForBit) {
    test::TempDir dir;
    const auto module = host::Module::open(test::module_path());
    host::MessageLog messages;
    host::ScriptedFileRequester requester((dir / "shot").string());
    host::ImageFilter saver(*module, "OBK_ZSave");
    saver.options();

    const std::pair<int32_t, int32_t> sizes[] = {{1, 1}, {4, 3}, {17, 5}, {640, 2}, {3, 200}};
    int32_t frame_number = 1;
    for (auto [width, height] : sizes) {
        host::Frame frame(width, height, frame_number);
        auto depth = frame.samples(BUF_DEPTH);
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) depth[std::size_t(y) * width + x] = depth_at(x, y);
        saver.process(frame);
        ASSERT_EQ(messages.size(), 0u) << "the saver reported a message";

        char name[32];
        std::snprintf(name, sizeof name, "shot%04d.zb", frame_number);
        const host::ImageLoad load = host::load_depth_image(*module, (dir / name).string());
        ASSERT_EQ(load.status, STATUS_OK) << name;
        ASSERT_TRUE(load.image.has_value());
        const host::Image& image = *load.image;
        ASSERT_EQ(image.width, width);
        ASSERT_EQ(image.height, height);
        ASSERT_EQ(image.channels, 1);
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x)
                ASSERT_EQ(bits_of(image.at(x, y)), bits_of(depth_at(x, y))) << name << " at " << x << "," << y;
        ++frame_number;
    }
}

// A name beyond ASCII goes from the file requester through the saver to the
// file system and back through the loader, in the narrow encoding that the
// module's C library takes: the ANSI code page on Windows, UTF-8 elsewhere.
TEST(SaverToLoader, NamesBeyondAsciiInTheSystemsNarrowEncoding) {
    test::TempDir dir;
    const std::filesystem::path wide_base = dir.path() / std::filesystem::path(u8"Tiefe-\u00e9\u00fc");
    const std::string base = host::platform::narrow_name(wide_base);
    if (host::platform::native_path(base) != wide_base) {
        GTEST_SKIP() << "the system's narrow encoding holds neither \u00e9 nor \u00fc";
    }
    const auto module = host::Module::open(test::module_path());
    host::MessageLog messages;
    host::ScriptedFileRequester requester(base);
    host::ImageFilter saver(*module, "OBK_ZSave");
    saver.options();
    host::Frame frame(2, 1, 1);
    frame.samples(BUF_DEPTH)[0] = 4.5f;
    frame.samples(BUF_DEPTH)[1] = -1.0f;
    saver.process(frame);
    EXPECT_EQ(messages.size(), 0u);

    std::filesystem::path written = wide_base;
    written += "0001.zb";
    EXPECT_TRUE(std::filesystem::exists(written));
    const host::ImageLoad load = host::load_depth_image(*module, base + "0001.zb");
    ASSERT_EQ(load.status, STATUS_OK);
    EXPECT_EQ(load.image->pixels, (std::vector<float>{4.5f, -1.0f}));
}
