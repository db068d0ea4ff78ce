// The depth loader through the real module file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>

#include "host/image_loader.h"
#include "host/module_host.h"
#include "host/services.h"
#include "module/memory.h"
#include "loader_rig.h"
#include "test_support.h"
#include "zbuf/zbuf.h"
#include "zload/zload.h"

using test::ByteBuilder;
using test::Bytes;
using test::Calls;
using test::RecordingHost;
using test::bits_of;
using test::hex;
using test::counting_body;
using test::depth_bytes;
using test::header_of;
using test::load_calls;
using test::load_module;

namespace {

// Makes the module heap of the linked loader fail once, and heals it after.
class FailingAllocation {
public:
    explicit FailingAllocation(int64_t after) { obk_fail_allocation_after(after); }
    ~FailingAllocation() { obk_fail_allocation_after(0); }
};

}  // namespace

TEST(ZLoad, WriterMadeFilesLoadBitForBit) {
    const auto module = load_module();
    test::TempDir dir;
    const uint32_t specials[] = {0x7FC00001u, 0x7F800001u, 0xFFFFFFFFu, 0x7F800000u, 0xFF800000u,
                                 0x80000000u, 0x00000000u, 0x00000001u, 0x807FFFFFu, 0x7F7FFFFFu,
                                 0x3F800000u, 0xC2F6E979u};
    const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1}, {12, 1}, {1, 12}, {5, 7}, {64, 3}};
    for (auto [width, height] : sizes) {
        std::vector<uint32_t> samples;
        for (uint32_t i = 0; i < width * height; ++i) {
            samples.push_back(i < std::size(specials) ? specials[(i * 5) % std::size(specials)]
                                                      : i * 2654435761u);
        }
        ByteBuilder body;
        for (uint32_t bits : samples) body.u32(bits);
        const auto path = dir / ("image" + std::to_string(width) + "x" + std::to_string(height) + ".zb");
        test::write_file(path, depth_bytes(header_of(width, height), body.bytes()));

        const host::ImageLoad load = host::load_depth_image(*module, path.string());
        const std::string size = std::to_string(width) + " x " + std::to_string(height);
        ASSERT_EQ(load.status, STATUS_OK) << size;
        ASSERT_TRUE(load.image.has_value()) << size;
        const host::Image& image = *load.image;
        EXPECT_EQ(image.width, int32_t(width));
        EXPECT_EQ(image.height, int32_t(height));
        EXPECT_EQ(image.channels, 1);
        EXPECT_EQ(image.name, path.filename().string());
        EXPECT_EQ(load.rows_received, int32_t(height));
        EXPECT_EQ(load.rows_announced, int32_t(height));
        ASSERT_EQ(image.pixels.size(), samples.size()) << size;
        for (uint32_t y = 0; y < height; ++y) {
            for (uint32_t x = 0; x < width; ++x) {
                EXPECT_EQ(hex(bits_of(image.at(int32_t(x), int32_t(y)))), hex(samples[y * width + x]))
                    << size << " at (" << x << ", " << y << ")";
            }
        }
        EXPECT_EQ(test::descriptor_of(path), -1) << "file left open";
    }
}

TEST(ZLoad, SixtyFourBitSamplesNarrowToTheNearestFloat) {
    const auto module = load_module();
    test::TempDir dir;
    const double threshold = double(FLT_MAX) + 0x1p103;  // halfway to 2^128
    const struct { double sample; uint32_t expected; } cases[] = {
        {0.5, 0x3F000000u},          {-2.0, 0xC0000000u},
        {1e300, 0x7F800000u},        {-1e300, 0xFF800000u},
        {-0.0, 0x80000000u},         {0.1, 0x3DCCCCCDu},
        {1e-50, 0x00000000u},        {-1e-50, 0x80000000u},
        {0x1p-149, 0x00000001u},     {0x1p-150, 0x00000000u},
        {0x1.8p-150, 0x00000001u},   {1.0 + 0x1p-24, 0x3F800000u},
        {1.0 + 0x3p-24, 0x3F800002u}, {double(FLT_MAX), 0x7F7FFFFFu},
        {threshold - 0x1p75, 0x7F7FFFFFu}, {-(threshold - 0x1p75), 0xFF7FFFFFu},
        {threshold, 0x7F800000u},    {-threshold, 0xFF800000u},
        {HUGE_VAL, 0x7F800000u},     {-HUGE_VAL, 0xFF800000u},
    };
    const uint32_t width = std::size(cases) / 2;
    ByteBuilder body;
    for (const auto& c : cases) body.f64(c.sample);
    const auto path = dir / "doubles.zb";
    test::write_file(path, depth_bytes(header_of(width, 2, ZBUF_FLOAT64), body.bytes()));

    const host::ImageLoad load = host::load_depth_image(*module, path.string());
    ASSERT_EQ(load.status, STATUS_OK);
    ASSERT_EQ(load.image->pixels.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(hex(bits_of(load.image->pixels[i])), hex(cases[i].expected)) << "sample " << cases[i].sample;
    }

    ByteBuilder nans;
    nans.f64(std::nan("")).f64(-std::nan("7"));
    test::write_file(path, depth_bytes(header_of(2, 1, ZBUF_FLOAT64), nans.bytes()));
    const host::ImageLoad nan_load = host::load_depth_image(*module, path.string());
    ASSERT_EQ(nan_load.status, STATUS_OK);
    EXPECT_TRUE(std::isnan(nan_load.image->pixels[0]) && !std::signbit(nan_load.image->pixels[0]));
    EXPECT_TRUE(std::isnan(nan_load.image->pixels[1]) && std::signbit(nan_load.image->pixels[1]));
}

TEST(ZLoad, CallsTheHostInOrderWhateverTheActivationVersion) {
    const auto module = load_module();
    test::TempDir dir;
    const auto path = dir / "counting.zb";
    test::write_file(path, depth_bytes(header_of(3, 4), counting_body(3, 4)));
    for (int32_t version : {4, 3, 5, 0, -1}) {
        RecordingHost host(path.string());
        EXPECT_EQ(host.load(*module, version), STATUS_OK) << "version " << version;
        EXPECT_EQ(host.calls, load_calls(3, 4, 4, 0)) << "version " << version;
        const host::ImageLoad load = host.outcome();
        ASSERT_TRUE(load.image.has_value());
        EXPECT_EQ(load.image->at(2, 3), 32.0f);
    }
}

TEST(ZLoad, FailuresEndTheLoadWithTheirStatusAndTheRightCalls) {
    const auto module = load_module();
    test::TempDir dir;
    const Bytes ten_rows = depth_bytes(header_of(3, 10), counting_body(3, 10));
    const std::size_t row_bytes = 12;
    auto cut = [&](std::size_t size) { return Bytes(ten_rows.begin(), ten_rows.begin() + size); };
    ZBufHeader scaled = header_of(3, 10);
    scaled.scale = 2.0f;
    auto raw_header = [](uint32_t width, uint32_t height, uint32_t body_size) {
        test::HeaderFields h;
        h.width = width;
        h.height = height;
        ByteBuilder b;
        b.id("FORM").u32(0x7FFFFFF0u).id("ILBM");
        return test::add_zbuf_chunk(b, h).id("ZBOD").u32(body_size).bytes();
    };

    struct Case {
        std::string name;
        std::optional<Bytes> file;
        bool refuse_begin = false;
        int32_t refused_row = -1;
        int32_t status;
        Calls calls;
        int32_t rows_received = 0;
        std::optional<int32_t> finish_answer = std::nullopt;
    };
    const Case cases[] = {
        {"missing file", std::nullopt, false, -1, STATUS_BAD_FILE, {}},
        {"not a depth file", Bytes{'h', 'e', 'l', 'l', 'o'}, false, -1, STATUS_NOT_RECOGNISED, {}},
        {"scale 2.0", depth_bytes(scaled, counting_body(3, 10)), false, -1, STATUS_NOT_RECOGNISED, {}},
        {"width 2^31, height 0", raw_header(0x80000000u, 0, 0), false, -1, STATUS_NOT_RECOGNISED, {}},
        {"W x H x 4 wraps to 0", raw_header(0x40000000u, 4, 0), false, -1, STATUS_NOT_RECOGNISED, {}},
        {"begin_image refuses", ten_rows, true, -1, STATUS_FAILED, {"begin_image 3"}},
        {"body ends inside row 0", cut(64 + 5), false, -1, STATUS_FAILED, load_calls(3, 10, 0, 99)},
        {"body ends inside row 5", cut(64 + 5 * row_bytes + 6), false, -1, STATUS_FAILED,
         load_calls(3, 10, 5, 99), 5},
        {"body one byte short", cut(ten_rows.size() - 1), false, -1, STATUS_FAILED,
         load_calls(3, 10, 9, 99), 9},
        {"host refuses row 3", ten_rows, false, 3, STATUS_FAILED, load_calls(3, 10, 4, 99), 3},
        {"height 0", depth_bytes(header_of(3, 0), {}), false, -1, STATUS_OK, load_calls(3, 0, 0, 0)},
        {"16384 x 16384 above a 64-byte file", depth_bytes(header_of(16384, 16384), {}), false, -1,
         STATUS_FAILED, load_calls(16384, 16384, 0, 99)},
        {"the result is what finish answers", ten_rows, false, -1, 5, load_calls(3, 10, 10, 0), 10, 5},
    };
    for (const Case& c : cases) {
        const auto path = dir / "case.zb";
        std::filesystem::remove(path);
        if (c.file) test::write_file(path, *c.file);
        RecordingHost host(path.string());
        host.refuse_begin = c.refuse_begin;
        host.refused_row = c.refused_row;
        host.finish_answer = c.finish_answer;
        EXPECT_EQ(host.load(*module), c.status) << c.name;
        EXPECT_EQ(host.calls, c.calls) << c.name;
        const host::ImageLoad load = host.outcome();
        EXPECT_EQ(load.image.has_value(), c.status == STATUS_OK) << c.name;
        EXPECT_EQ(load.rows_received, c.rows_received) << c.name;
        EXPECT_EQ(test::descriptor_of(path), -1) << c.name << ": file left open";
    }
}

TEST(ZLoad, NoRowAfterTheRefusedOneIsRead) {
    const auto module = load_module();
    test::TempDir dir;
    const auto path = dir / "wide.zb";
    test::write_file(path, {});
    // Rows of at least twice the stream's buffer: read-ahead cannot reach the
    // end of the row after the last one read.
    const uint32_t width = std::max<uint32_t>(4096, uint32_t(test::stream_buffer_size(path)) / 2);
    const int64_t row_bytes = int64_t(width) * 4;
    test::write_file(path, depth_bytes(header_of(width, 10), counting_body(width, 10)));

    RecordingHost host(path.string());
    host.refused_row = 3;
    int64_t position = -1;
    host.at_end = [&] {
        const int fd = test::descriptor_of(path);
        if (fd >= 0) position = test::descriptor_position(fd);
    };
    EXPECT_EQ(host.load(*module), STATUS_FAILED);
    EXPECT_EQ(host.calls, load_calls(int32_t(width), 10, 4, 99));
    EXPECT_GE(position, 64 + 4 * row_bytes) << "rows 0 to 3 read";
    EXPECT_LT(position, 64 + 5 * row_bytes) << "row 4 read";
}

// Through the loader linked into the tests, whose heap can fail and tells
// its largest block: the one row buffer is allocated only once the file has
// shown that it holds a row, so a load never takes more than the file holds
// (a stream that cannot be moved: twice what arrived, past a first 4 KiB).
TEST(ZLoad, OneRowBufferOnlyOnceTheFileHoldsARow) {
    test::TempDir dir;
    const uint32_t WIDE = 0x1FFFFFF0;  // rows of 2 GiB
    struct Case {
        const char* name;
        uint16_t value_type;
        uint32_t width, height, samples;  // samples in the body
        int64_t failing_allocation;       // 0: none fails
        int32_t status;
        Calls calls;
        bool through_pipe = false;
    };
    const Case cases[] = {
        {"row buffer, 32-bit samples", ZBUF_FLOAT32, 3, 2, 6, 1, STATUS_FAILED, {}},
        {"row buffer, 64-bit samples", ZBUF_FLOAT64, 3, 2, 6, 1, STATUS_FAILED, {}},
        {"32-bit samples need one buffer", ZBUF_FLOAT32, 3, 2, 6, 2, STATUS_OK, load_calls(3, 2, 2, 0)},
        {"64-bit samples need one buffer", ZBUF_FLOAT64, 3, 2, 6, 2, STATUS_OK, load_calls(3, 2, 2, 0)},
        {"height 0 needs none", ZBUF_FLOAT64, 3, 0, 0, 1, STATUS_OK, load_calls(3, 0, 0, 0)},
        {"80 bytes announcing a row of 2 GiB", ZBUF_FLOAT32, WIDE, 1, 4, 1, STATUS_FAILED,
         load_calls(WIDE, 1, 0, 99)},
        {"64-bit row one sample short", ZBUF_FLOAT64, 3, 1, 2, 1, STATUS_FAILED, load_calls(3, 1, 0, 99)},
        {"pipe: rows arrive", ZBUF_FLOAT32, 3, 2, 6, 0, STATUS_OK, load_calls(3, 2, 2, 0), true},
        {"pipe: 16 bytes under a row of 2 GiB", ZBUF_FLOAT32, WIDE, 1, 4, 0, STATUS_FAILED,
         load_calls(WIDE, 1, 0, 99), true},
        {"pipe: rows of 32 KiB grow the buffer", ZBUF_FLOAT64, 4096, 1, 4096, 0, STATUS_OK,
         load_calls(4096, 1, 1, 0), true},
        {"pipe: growing refused", ZBUF_FLOAT32, 4096, 1, 4096, 2, STATUS_FAILED, {}, true},
        {"pipe: a row of 12000 bytes caps the growth at the row", ZBUF_FLOAT32, 3000, 2, 6000, 0, STATUS_OK,
         load_calls(3000, 2, 2, 0), true},
    };
    for (const Case& c : cases) {
        ByteBuilder body;
        for (uint32_t i = 0; i < c.samples; ++i) {
            if (c.value_type == ZBUF_FLOAT64) body.f64(i); else body.f32(float(i));
        }
        const ZBufHeader header = header_of(c.width, c.height, c.value_type);
        const Bytes file = c.through_pipe ? body.bytes() : depth_bytes(header, body.bytes());
        std::FILE* pipe = c.through_pipe ? test::pipe_holding(file) : nullptr;
        if (c.through_pipe && pipe == nullptr) {
            test::skip_case(c.name, "needs a pipe: a stream that cannot be moved");
            continue;
        }
        const auto path = dir / "alloc.zb";
        test::write_file(path, file);
        RecordingHost host(path.string());
        obk_take_largest_allocation();
        {
            FailingAllocation failing(c.failing_allocation);
            EXPECT_EQ(pipe ? host.send_linked(pipe, header) : host.load_linked(), c.status) << c.name;
        }
        if (pipe) std::fclose(pipe);
        EXPECT_EQ(host.calls, c.calls) << c.name;
        EXPECT_LE(obk_take_largest_allocation(), c.through_pipe ? 2 * file.size() + 4096 : file.size()) << c.name;
        EXPECT_EQ(test::descriptor_of(path), -1) << c.name << ": file left open";
    }
}
