// The host's image loader: what it reserves, the rows it takes, and the
// images it refuses to finish.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "host/image_loader.h"
#include "loader_rig.h"

using test::Bytes;
using test::RecordingHost;
using test::counting_body;
using test::depth_bytes;
using test::header_of;

TEST(ImageLoaderHost, ReservesTheImageOnlyWhenTheFileCanHoldIt) {
    const auto module = test::load_module();
    test::TempDir dir;
    const struct { const char* name; Bytes file; std::size_t reserved; int32_t announced; } cases[] = {
        {"64 x 64 with its body", depth_bytes(header_of(64, 64), counting_body(64, 64)), 64 * 64 * 4, 64},
        {"16384 x 16384 without a body", depth_bytes(header_of(16384, 16384), {}), 0, 16384},
    };
    for (const auto& c : cases) {
        const auto path = dir / "reserve.zb";
        test::write_file(path, c.file);
        RecordingHost host(path.string());
        host.load(*module);
        EXPECT_EQ(host.reserved_after_size, c.reserved) << c.name;
        EXPECT_EQ(host.outcome().rows_announced, c.announced) << c.name;
    }
}

TEST(ImageLoaderHost, RefusesRowsItCannotPlaceAndKeepsTheOthersExact) {
    host::ImageLoader loader("/nonexistent/image.zb");
    LoaderLocal* local = loader.local();
    EXPECT_EQ(local->begin_image(local->host_data, 1), nullptr) << "only grey float images";
    ImageProtocol* p = local->begin_image(local->host_data, IMAGE_GREY_FLOAT);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(local->begin_image(local->host_data, IMAGE_GREY_FLOAT), nullptr) << "one image per load";

    const float rows[3][2] = {{1.5f, -0.0f}, {HUGE_VALF, 2e-45f}, {-3.25f, 7.0f}};
    EXPECT_NE(p->send_line(p->protocol_data, 0, rows[0]), 0) << "row before set_size";
    p->set_size(p->protocol_data, 2, 3);
    p->set_param(p->protocol_data, 1, 0, 1.0f);
    const struct { int32_t row; const float* pixels; } refused[] = {
        {-1, rows[0]}, {3, rows[0]}, {INT32_MIN, rows[0]}, {INT32_MAX, rows[0]}, {1, nullptr},
    };
    for (const auto& r : refused) EXPECT_NE(p->send_line(p->protocol_data, r.row, r.pixels), 0) << r.row;
    for (int32_t y : {2, 0, 1}) EXPECT_EQ(p->send_line(p->protocol_data, y, rows[y]), 0) << y;
    for (const auto& r : refused) EXPECT_NE(p->send_line(p->protocol_data, r.row, r.pixels), 0) << r.row;

    local->result = p->finish(p->protocol_data, 0);
    EXPECT_EQ(local->result, STATUS_OK);
    EXPECT_NE(p->send_line(p->protocol_data, 0, rows[0]), 0) << "row after finish";
    EXPECT_EQ(local->end_image(local->host_data, p), 0);

    const host::ImageLoad load = loader.result();
    ASSERT_TRUE(load.image.has_value());
    ASSERT_EQ(load.image->pixels.size(), 6u);
    EXPECT_EQ(std::memcmp(load.image->pixels.data(), rows, sizeof rows), 0);
    EXPECT_EQ(load.rows_received, 3);
}

TEST(ImageLoaderHost, AnIncompleteOrInvalidImageFinishesAsAFailure) {
    const float row[2] = {1.0f, 2.0f};
    const struct { const char* name; int32_t width, height, rows, error_code, announced, received; } cases[] = {
        {"row 1 of 3 missing", 2, 3, 2, 0, 3, 2},
        {"loader reports an error", 2, 1, 1, 99, 1, 1},
        {"width 0", 0, 3, 1, 0, 0, 0},
        {"negative width", -2, 3, 1, 0, 0, 0},
        {"negative height", 2, -1, 1, 0, 0, 0},
    };
    for (const auto& c : cases) {
        host::ImageLoader loader("/nonexistent/image.zb");
        LoaderLocal* local = loader.local();
        ImageProtocol* p = local->begin_image(local->host_data, IMAGE_GREY_FLOAT);
        ASSERT_NE(p, nullptr);
        p->set_size(p->protocol_data, c.width, c.height);
        for (int32_t y = 0; y < c.rows; ++y) p->send_line(p->protocol_data, y, row);
        local->result = p->finish(p->protocol_data, c.error_code);
        EXPECT_EQ(local->result, STATUS_FAILED) << c.name;
        local->end_image(local->host_data, p);
        const host::ImageLoad load = loader.result();
        EXPECT_FALSE(load.image.has_value()) << c.name;
        EXPECT_EQ(load.rows_announced, c.announced) << c.name;
        EXPECT_EQ(load.rows_received, c.received) << c.name;
    }
}

TEST(ImageLoaderHost, ARowBeyondMemoryIsRefusedAndItsErrorRaisedAfterTheLoad) {
    host::ImageLoader loader("/nonexistent/image.zb");
    LoaderLocal* local = loader.local();
    ImageProtocol* p = local->begin_image(local->host_data, IMAGE_GREY_FLOAT);
    ASSERT_NE(p, nullptr);
    p->set_size(p->protocol_data, INT32_MAX, INT32_MAX);
    EXPECT_EQ(loader.reserved_bytes(), 0u);
    const float row[1] = {1.0f};
    EXPECT_NE(p->send_line(p->protocol_data, INT32_MAX - 1, row), 0);
    local->result = p->finish(p->protocol_data, 99);
    local->end_image(local->host_data, p);
    EXPECT_THROW(loader.result(), std::length_error);
}
