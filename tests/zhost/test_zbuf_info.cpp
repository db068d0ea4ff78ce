// The diagnostic reading of depth files: the explanation it gives for each
// kind of refused file, the rows present and the last header chunk.
#include <gtest/gtest.h>

#include "zbuf/zbuf.h"
#include "zbuf_refusals.h"
#include "zhost/files/zbuf_info.h"
#include "zhost/text/error.h"
#include "zhost_test_support.h"

using test::ByteBuilder;
using test::Bytes;
using test::HeaderFields;

namespace {

zhost::ZbufInfo inspect_bytes(const test::TempDir& dir, const Bytes& bytes) {
    const std::string path = dir / "file.zb";
    test::write_file(path, bytes);
    return zhost::inspect_zbuf(path);
}

}  // namespace

TEST(ZbufInfo, ExplainsTheReadersRefusalOnOneLine) {
    test::TempDir dir;
    for (const test::Refusal& c : test::refusals()) {
        const zhost::ZbufInfo info = inspect_bytes(dir, c.bytes);
        EXPECT_EQ(info.reading.reason, c.reason) << c.name << ": " << info.reason;
        EXPECT_EQ(info.reason.empty(), c.reason == ZbufReason::ACCEPTED) << c.name << ": " << info.reason;
        EXPECT_NE(info.reason.find(c.explanation), std::string::npos) << c.name << ": " << info.reason;
        EXPECT_EQ(info.reason.find('\n'), std::string::npos) << c.name;
        EXPECT_EQ(info.file_size, c.bytes.size()) << c.name;
    }
}

TEST(ZbufInfo, CountsTheWholeRowsOfTheBody) {
    test::TempDir dir;
    HeaderFields h;
    h.width = 4;
    h.height = 10;
    const Bytes whole = test::depth_file(h);
    struct Case { std::size_t cut; uint64_t rows; };
    const Case cases[] = {{0, 10}, {1, 9}, {16, 9}, {17, 8}, {16 * 10, 0}};
    for (const Case& c : cases) {
        const zhost::ZbufInfo info = inspect_bytes(dir, Bytes(whole.begin(), whole.end() - long(c.cut)));
        ASSERT_TRUE(info.accepted()) << c.cut;
        EXPECT_EQ(info.reading.position, 64u);
        EXPECT_EQ(info.rows_present, c.rows) << "cut " << c.cut;
        EXPECT_EQ(info.body_complete(), c.rows == 10) << "cut " << c.cut;
    }
    h.value_type = 7;
    ByteBuilder b;
    b.id("FORM").u32(56 + 320).id("ILBM");
    test::add_zbuf_chunk(b, h).id("ZBOD").u32(320).zeros(8 * 4 * 3 + 5);
    EXPECT_EQ(inspect_bytes(dir, b.bytes()).rows_present, 3u) << "rows of 64-bit samples";
}

TEST(ZbufInfo, ReadsTheLastHeaderChunk) {
    test::TempDir dir;
    HeaderFields first, second;
    first.min_depth = 11.0f;
    second.min_depth = 0.5f;
    second.background_depth = 1e30f;
    ByteBuilder b;
    b.id("FORM").u32(80 + 44).id("ILBM");
    test::add_zbuf_chunk(b, first);
    test::add_zbuf_chunk(b, second).id("ZBOD").u32(24).zeros(24);
    const zhost::ZbufInfo info = inspect_bytes(dir, b.bytes());
    ASSERT_TRUE(info.accepted()) << info.reason;
    EXPECT_EQ(info.reading.header_chunks, 2u);
    EXPECT_EQ(info.header.min_depth, 0.5f);
    EXPECT_EQ(info.header.background_depth, 1e30f);
    EXPECT_TRUE(info.body_complete());
}

TEST(ZbufInfo, ReportsFilesThatCannotBeOpened) {
    test::TempDir dir;
    EXPECT_THROW(zhost::inspect_zbuf(dir / "missing.zb"), zhost::Error);
    EXPECT_THROW(zhost::inspect_zbuf(dir.path().string()), zhost::Error);
}
