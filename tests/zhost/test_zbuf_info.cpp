// The diagnostic reading of depth files: the rule it names for each kind of
// refused file, and agreement with the module's own reader on every case.
#include <gtest/gtest.h>

#include "zbuf/zbuf.h"
#include "zhost/error.h"
#include "zhost/zbuf_info.h"
#include "zhost_test_support.h"

using test::ByteBuilder;
using test::Bytes;
using test::HeaderFields;
using zhost::ZbufRule;

namespace {

Bytes file_with(const HeaderFields& h, int64_t body_size = -1, uint32_t form_size = 0) {
    const uint32_t body = body_size < 0 ? h.width * h.height * 4 : uint32_t(body_size);
    ByteBuilder b;
    b.id("FORM").u32(form_size ? form_size : body + 56).id("ILBM");
    test::add_zbuf_chunk(b, h).id("ZBOD").u32(body);
    return b.bytes();
}

HeaderFields with(auto change) {
    HeaderFields h;
    change(h);
    return h;
}

Bytes with_zbuf_size(uint32_t stored) {
    ByteBuilder b;
    b.id("FORM").u32(80).id("ILBM");
    test::add_zbuf_chunk(b, HeaderFields{}, stored).id("ZBOD").u32(24);
    return b.bytes();
}

bool module_reader_accepts(const Bytes& bytes) {
    std::FILE* stream = test::stream_of(bytes);
    ZBufHeader header{};
    const bool accepted = read_zbuf_headers(stream, &header);
    std::fclose(stream);
    return accepted;
}

struct Case {
    const char* name;
    Bytes bytes;
    ZbufRule rule;
    const char* reason;  // part of the explanation
};

std::vector<Case> refusal_cases() {
    std::vector<Case> cases;
    const HeaderFields h;
    cases.push_back({"well formed", test::depth_file(), ZbufRule::ACCEPTED, ""});
    cases.push_back({"eleven bytes", Bytes(11, 'F'), ZbufRule::SHORT_FORM_HEADER, "ends inside the 12-byte FORM header"});
    {
        ByteBuilder b;
        b.id("RIFF").u32(80).id("ILBM");
        cases.push_back({"RIFF", b.bytes(), ZbufRule::NOT_FORM, "begins with \"RIFF\""});
    }
    {
        ByteBuilder b;
        b.u32(0x89504E47).u32(0x0D0A1A0A).u32(0);
        cases.push_back({"PNG bytes", b.bytes(), ZbufRule::NOT_FORM, "begins with 89 50 4E 47"});
    }
    {
        ByteBuilder b;
        b.id("FORM").u32(80).id("8SVX");
        cases.push_back({"FORM 8SVX", b.bytes(), ZbufRule::NOT_ILBM, "FORM type is \"8SVX\""});
    }
    {
        ByteBuilder b;
        b.id("FORM").u32(80).id("ILBM");
        test::add_zbuf_chunk(b, h);
        cases.push_back({"ends after ZBUF", b.bytes(), ZbufRule::ENDS_BEFORE_BODY, "file ends at byte 56"});
    }
    cases.push_back({"ZBUF size 34", with_zbuf_size(34), ZbufRule::ZBUF_CHUNK_SIZE, "has size 34, not 36"});
    cases.push_back({"ZBUF size 37", with_zbuf_size(37), ZbufRule::ZBUF_CHUNK_SIZE, "has size 37, not 36"});
    {
        ByteBuilder b;
        b.id("FORM").u32(80).id("ILBM").id("ZBUF").u32(36).zeros(20);
        cases.push_back({"short ZBUF", b.bytes(), ZbufRule::SHORT_ZBUF_CHUNK, "inside the \"ZBUF\" chunk at offset 12"});
    }
    {
        ByteBuilder b;
        b.id("FORM").u32(90).id("ILBM").id("JUNK").u32(0xFFFFFFF0u);
        test::add_zbuf_chunk(b, h).id("ZBOD").u32(24);
        cases.push_back({"huge chunk", b.bytes(), ZbufRule::CHUNK_TOO_LARGE, "chunk \"JUNK\" at offset 12"});
    }
    cases.push_back({"FORM size 55", file_with(h, -1, 55), ZbufRule::PAST_FORM_SIZE, "ends at byte 56, past the FORM size 55"});
    cases.push_back({"FORM size 2^31", file_with(h, -1, 0x80000000u), ZbufRule::PAST_FORM_SIZE, "2^31 or more"});
    {
        ByteBuilder b;
        b.id("FORM").u32(80).id("ILBM").id("ZBOD").u32(24);
        cases.push_back({"ZBOD first", b.bytes(), ZbufRule::BODY_BEFORE_HEADER, "before any \"ZBUF\""});
    }
    cases.push_back({"width 0", file_with(with([](HeaderFields& f) { f.width = 0; }), 0), ZbufRule::WIDTH_ZERO, "width is 0"});
    cases.push_back({"compression", file_with(with([](HeaderFields& f) { f.compression = 1; })), ZbufRule::COMPRESSION, "compression is 1"});
    cases.push_back({"ordering", file_with(with([](HeaderFields& f) { f.ordering = 3; })), ZbufRule::ORDERING, "ordering is 3"});
    cases.push_back({"scale", file_with(with([](HeaderFields& f) { f.scale = 2.0f; })), ZbufRule::SCALE, "scale is 2"});
    cases.push_back({"value type", file_with(with([](HeaderFields& f) { f.value_type = 5; })), ZbufRule::VALUE_TYPE, "value type is 5"});
    cases.push_back({"wrapping size",
                     file_with(with([](HeaderFields& f) { f.width = 0x40000000u; f.height = 1; }), 0, 0x7FFFFFF0u),
                     ZbufRule::SIZES_BEYOND_FORMAT, "does not fit"});
    cases.push_back({"body size", file_with(h, 48), ZbufRule::BODY_SIZE, "\"ZBOD\" size 48 (rounded to even) is not 2 x 3 x 4 = 24"});
    cases.push_back({"type 7, 4-byte body", file_with(with([](HeaderFields& f) { f.value_type = 7; }), 24), ZbufRule::BODY_SIZE, "2 x 3 x 8 = 48"});
    {
        HeaderFields wide;
        wide.width = 100;
        wide.height = 1;
        cases.push_back({"body above FORM", file_with(wide, 400, 60), ZbufRule::BODY_LARGER_THAN_FORM, "larger than the FORM size 60"});
    }
    // Accepted oddities: the same rules as the module's reader, not stricter.
    cases.push_back({"units and offset", file_with(with([](HeaderFields& f) { f.units = 9; f.offset = 5.0f; })), ZbufRule::ACCEPTED, ""});
    cases.push_back({"body one byte short", file_with(h, 23), ZbufRule::ACCEPTED, ""});
    {
        ByteBuilder b;
        b.id("FORM").u32(90).id("ILBM").id("JUNK").u32(5).zeros(6);
        test::add_zbuf_chunk(b, h).id("ZBOD").u32(24);
        cases.push_back({"odd chunk skipped", b.bytes(), ZbufRule::ACCEPTED, ""});
    }
    return cases;
}

zhost::ZbufInfo inspect_bytes(const test::TempDir& dir, const Bytes& bytes) {
    const std::string path = dir / "file.zb";
    test::write_file(path, bytes);
    return zhost::inspect_zbuf(path);
}

}  // namespace

TEST(ZbufInfo, NamesTheRuleThatRefusesAFile) {
    test::TempDir dir;
    for (const Case& c : refusal_cases()) {
        const zhost::ZbufInfo info = inspect_bytes(dir, c.bytes);
        EXPECT_EQ(info.rule, c.rule) << c.name << ": " << info.reason;
        EXPECT_NE(info.reason.find(c.reason), std::string::npos) << c.name << ": " << info.reason;
        EXPECT_EQ(info.reason.find('\n'), std::string::npos) << c.name;
        EXPECT_EQ(info.file_size, c.bytes.size()) << c.name;
    }
}

TEST(ZbufInfo, AgreesWithTheModulesReaderOnEveryCase) {
    test::TempDir dir;
    for (const Case& c : refusal_cases()) {
        EXPECT_EQ(inspect_bytes(dir, c.bytes).accepted(), module_reader_accepts(c.bytes)) << c.name;
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
        EXPECT_EQ(info.body_offset, 64u);
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
    EXPECT_EQ(info.zbuf_chunks, 2);
    EXPECT_EQ(info.header.min_depth, 0.5f);
    EXPECT_EQ(info.header.background_depth, 1e30f);
    EXPECT_TRUE(info.body_complete());
}

TEST(ZbufInfo, ReportsFilesThatCannotBeOpened) {
    test::TempDir dir;
    EXPECT_THROW(zhost::inspect_zbuf(dir / "missing.zb"), zhost::Error);
    EXPECT_THROW(zhost::inspect_zbuf(dir.path().string()), zhost::Error);
}
