// Depth file format: byte order, header output, the reader's rules, names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "platform_support.h"
#include "test_support.h"
#include "zbuf/zbuf.h"
#include "zbuf_refusals.h"

using test::ByteBuilder;
using test::Bytes;
using test::HeaderFields;
using test::file_with;

namespace {

ZBufHeader saver_header(uint32_t width, uint32_t height) {
    ZBufHeader h{};
    h.width = width;
    h.height = height;
    h.value_type = ZBUF_FLOAT32;
    h.units = 2;
    h.min_depth = 1.5f;
    h.max_depth = 2.5f;
    h.background_depth = 9.0f;
    h.scale = 1.0f;
    return h;
}

struct ReadOutcome {
    bool accepted;
    long position;
    ZBufHeader header;
};

ReadOutcome read_headers(const Bytes& bytes) {
    std::FILE* stream = test::stream_of(bytes);
    ReadOutcome out{};
    out.accepted = read_zbuf_headers(stream, &out.header);
    out.position = std::ftell(stream);
    std::fclose(stream);
    return out;
}

}  // namespace

TEST(SwapBytes, ReversesEachElementOfTheGivenSize) {
    const Bytes input = {1, 2, 3, 4, 5, 6, 7, 8};
    struct Case { int32_t size, count; Bytes expected; } cases[] = {
        {2, 4, {2, 1, 4, 3, 6, 5, 8, 7}},
        {4, 2, {4, 3, 2, 1, 8, 7, 6, 5}},
        {8, 1, {8, 7, 6, 5, 4, 3, 2, 1}},
        {4, 0, {1, 2, 3, 4, 5, 6, 7, 8}},
        {4, 1, {4, 3, 2, 1, 5, 6, 7, 8}},
    };
    for (const Case& c : cases) {
        Bytes data = input;
        swap_bytes(data.data(), c.size, c.count);
        EXPECT_EQ(data, c.expected) << "element size " << c.size << ", count " << c.count;
    }
    // Long runs, which are reversed several words at a time, and their tails.
    for (int32_t size : {2, 4, 8}) {
        for (int32_t count = 0; count <= 19; ++count) {
            Bytes data(std::size_t(size * count));
            for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + 1);
            Bytes expected = data;
            for (std::size_t at = 0; at < expected.size(); at += std::size_t(size)) {
                std::reverse(expected.begin() + std::ptrdiff_t(at), expected.begin() + std::ptrdiff_t(at) + size);
            }
            swap_bytes(data.data(), size, count);
            EXPECT_EQ(data, expected) << "element size " << size << ", count " << count;
        }
    }
}

TEST(WriteZbufHeaders, WritesTheSixtyFourBytesBeforeTheBodyExactly) {
    const ZBufHeader header = saver_header(2, 3);
    const ZBufHeader before = header;
    std::FILE* stream = std::tmpfile();
    ASSERT_TRUE(write_zbuf_headers(&header, stream));
    EXPECT_EQ(std::ftell(stream), 64);
    std::rewind(stream);
    Bytes written(64);
    ASSERT_EQ(std::fread(written.data(), 1, 64, stream), 64u);
    std::fclose(stream);

    HeaderFields fields;
    fields.min_depth = 1.5f;
    fields.max_depth = 2.5f;
    fields.background_depth = 9.0f;
    ByteBuilder expected;
    expected.id("FORM").u32(80).id("ILBM");
    test::add_zbuf_chunk(expected, fields).id("ZBOD").u32(24);
    EXPECT_EQ(written, expected.bytes());
    EXPECT_EQ(std::memcmp(&header, &before, sizeof header), 0) << "the caller's header is not changed";
}

TEST(WriteZbufHeaders, CountsEightBytesPerSampleForSixtyFourBitBodies) {
    ZBufHeader header = saver_header(2, 3);
    header.value_type = ZBUF_FLOAT64;
    std::FILE* stream = std::tmpfile();
    ASSERT_TRUE(write_zbuf_headers(&header, stream));
    std::rewind(stream);
    Bytes written(64);
    ASSERT_EQ(std::fread(written.data(), 1, 64, stream), 64u);
    std::fclose(stream);
    EXPECT_EQ(Bytes(written.begin() + 4, written.begin() + 8), (Bytes{0, 0, 0, 104}));
    EXPECT_EQ(Bytes(written.begin() + 60, written.end()), (Bytes{0, 0, 0, 48}));
}

TEST(WriteZbufHeaders, RefusesSizesBeyondTheFormatWithoutWriting) {
    const std::pair<uint32_t, uint32_t> sizes[] = {{0x40000000u, 1}, {0x80000000u, 0}, {65536, 65536}};
    for (auto [width, height] : sizes) {
        const ZBufHeader header = saver_header(width, height);
        std::FILE* stream = std::tmpfile();
        EXPECT_FALSE(write_zbuf_headers(&header, stream)) << width << " x " << height;
        EXPECT_EQ(std::ftell(stream), 0);
        std::fclose(stream);
    }
}

TEST(WriteZbufHeaders, ReportsABlockThatIsNotWrittenWhole) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs /dev/full, a file that refuses every write";
#endif
    std::FILE* full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    std::setvbuf(full, nullptr, _IONBF, 0);
    const ZBufHeader header = saver_header(2, 3);
    EXPECT_FALSE(write_zbuf_headers(&header, full));
    std::fclose(full);
}

TEST(WriteZbufHeaders, OutputIsAcceptedByTheReaderAtTheFirstBodyByte) {
    const ZBufHeader header = saver_header(2, 3);
    std::FILE* stream = std::tmpfile();
    ASSERT_TRUE(write_zbuf_headers(&header, stream));
    const unsigned char body[24] = {};
    ASSERT_EQ(std::fwrite(body, 1, sizeof body, stream), sizeof body);
    EXPECT_EQ(std::ftell(stream), 88);
    std::rewind(stream);
    ZBufHeader read{};
    EXPECT_TRUE(read_zbuf_headers(stream, &read));
    EXPECT_EQ(std::ftell(stream), 64);
    std::fclose(stream);
    EXPECT_EQ(std::memcmp(&read, &header, sizeof read), 0);
}

TEST(ReadZbufHeaders, AcceptsAWellFormedFileAndStopsAtTheBody) {
    const ReadOutcome out = read_headers(test::depth_file());
    ASSERT_TRUE(out.accepted);
    EXPECT_EQ(out.position, 64);
    EXPECT_EQ(out.header.width, 2u);
    EXPECT_EQ(out.header.height, 3u);
    EXPECT_EQ(out.header.value_type, 6);
    EXPECT_EQ(out.header.units, 2);
    EXPECT_EQ(out.header.min_depth, 1.0f);
    EXPECT_EQ(out.header.max_depth, 2.0f);
    EXPECT_EQ(out.header.background_depth, 3.0f);
    EXPECT_EQ(out.header.scale, 1.0f);
}

TEST(ReadZbufHeaders, HeaderFieldRules) {
    struct Case { const char* name; HeaderFields h; int64_t body; bool accepted; };
    auto with = [](auto change) { HeaderFields h; change(h); return h; };
    const Case cases[] = {
        {"compression 1", with([](HeaderFields& h) { h.compression = 1; }), -1, false},
        {"ordering 1", with([](HeaderFields& h) { h.ordering = 1; }), -1, false},
        {"scale 2.0", with([](HeaderFields& h) { h.scale = 2.0f; }), -1, false},
        {"scale NaN", with([](HeaderFields& h) { h.scale = NAN; }), -1, false},
        {"width 0", with([](HeaderFields& h) { h.width = 0; }), 0, false},
        {"value type 5", with([](HeaderFields& h) { h.value_type = 5; }), -1, false},
        {"value type 8", with([](HeaderFields& h) { h.value_type = 8; }), 48, false},
        {"units 9", with([](HeaderFields& h) { h.units = 9; }), -1, true},
        {"offset 5.0", with([](HeaderFields& h) { h.offset = 5.0f; }), -1, true},
        {"height 0, empty body", with([](HeaderFields& h) { h.height = 0; }), 0, true},
        {"type 7, W x H x 8", with([](HeaderFields& h) { h.value_type = 7; }), 48, true},
        {"type 7, W x H x 4", with([](HeaderFields& h) { h.value_type = 7; }), 24, false},
        {"type 6, W x H x 8", HeaderFields{}, 48, false},
        {"body one byte short, rounded up", HeaderFields{}, 23, true},
        {"body one byte long", HeaderFields{}, 25, false},
        {"body two bytes short", HeaderFields{}, 22, false},
    };
    for (const Case& c : cases) {
        const ReadOutcome out = read_headers(file_with(c.h, c.body));
        EXPECT_EQ(out.accepted, c.accepted) << c.name;
        if (c.accepted) { EXPECT_EQ(out.position, 64) << c.name; }
    }
}

TEST(ReadZbufHeaders, RefusesSizesThatDoNotFitInThirtyTwoBits) {
    struct Case { const char* name; uint32_t width, height; uint16_t type; uint32_t body; };
    const Case cases[] = {
        {"W x H x 4 wraps to 0", 0x40000000u, 1, 6, 0},
        {"W x H x 4 wraps to 8", 0x40000001u, 2, 6, 8},
        {"W x H x 8 wraps to 0", 0x20000000u, 1, 7, 0},
        {"width 2^31, height 0", 0x80000000u, 0, 6, 0},
        {"height 2^31, width 1", 1, 0x80000000u, 6, 0},
        {"row of 2^31 bytes, height 0", 0x10000000u, 0, 7, 0},
    };
    for (const Case& c : cases) {
        HeaderFields h;
        h.width = c.width;
        h.height = c.height;
        h.value_type = c.type;
        EXPECT_FALSE(read_headers(file_with(h, c.body, 0x7FFFFFF0u)).accepted) << c.name;
    }
}

TEST(ReadZbufHeaders, FormAndChunkStructureRules) {
    const HeaderFields h;
    struct Case { const char* name; Bytes bytes; bool accepted; long position; };
    std::vector<Case> cases;
    auto add = [&](const char* name, ByteBuilder& b, bool accepted, long position = 0) {
        cases.push_back({name, b.bytes(), accepted, position});
    };
    {
        ByteBuilder b;
        b.id("FORM").u32(80).id("ILBM").id("ZBOD").u32(24);
        add("ZBOD before any ZBUF", b, false);
    }
    for (uint32_t stored : {35u, 34u, 37u, 38u}) {
        ByteBuilder b;
        b.id("FORM").u32(80).id("ILBM");
        test::add_zbuf_chunk(b, h, stored).id("ZBOD").u32(24);
        add(stored == 35 ? "ZBUF size 35 is read as 36" : "ZBUF size other than 35 or 36", b,
            stored == 35, 64);
    }
    {
        ByteBuilder b;
        b.id("FORM").u32(90).id("ILBM").id("JUNK").u32(5).zeros(6);
        test::add_zbuf_chunk(b, h).id("ZBOD").u32(24);
        add("odd chunk skipped with its pad byte", b, true, 78);
    }
    {
        ByteBuilder b;
        b.id("FORM").u32(90).id("ILBM").id("JUNK").u32(0xFFFFFFFFu);
        test::add_zbuf_chunk(b, h).id("ZBOD").u32(24);
        add("chunk size 2^32 - 1 does not wrap to 0", b, false);
    }
    {
        ByteBuilder b;
        b.id("FORM").u32(55).id("ILBM");
        test::add_zbuf_chunk(b, h).id("ZBOD").u32(24);
        add("FORM size below the position after ZBUF", b, false);
    }
    {
        ByteBuilder b;
        b.id("FORM").u32(56).id("ILBM");
        test::add_zbuf_chunk(b, h).id("ZBOD").u32(24);
        add("FORM size equal to the position after ZBUF", b, true, 64);
    }
    {
        HeaderFields wide;
        wide.width = 100;
        wide.height = 1;
        ByteBuilder b;
        b.id("FORM").u32(60).id("ILBM");
        test::add_zbuf_chunk(b, wide).id("ZBOD").u32(400);
        add("ZBOD size above the FORM size", b, false);
    }
    {
        ByteBuilder b;
        b.id("FORM").u32(0x80000000u).id("ILBM");
        test::add_zbuf_chunk(b, h).id("ZBOD").u32(24);
        add("FORM size 2^31 counts as negative", b, false);
    }
    {
        ByteBuilder b;
        b.id("FORM").u32(80).id("ILBM");
        test::add_zbuf_chunk(b, h);
        add("file ends right after ZBUF", b, false);
    }
    {
        ByteBuilder b;
        b.id("FORM").u32(80).id("ILBM").id("ZBUF").u32(36).zeros(20);
        add("file ends inside the ZBUF payload", b, false);
    }
    {
        ByteBuilder b;
        b.id("FORM").u32(80).id("ILB");
        add("file ends inside the first 12 bytes", b, false);
    }
    {
        ByteBuilder b;
        b.id("FORM").u32(80).id("8SVX");
        test::add_zbuf_chunk(b, h).id("ZBOD").u32(24);
        add("FORM of another type", b, false);
    }
    {
        ByteBuilder b;
        b.id("CAT ").u32(80).id("ILBM");
        test::add_zbuf_chunk(b, h).id("ZBOD").u32(24);
        add("file beginning with another id", b, false);
    }
    {
        ByteBuilder b;
        b.id("form").u32(80).id("ilbm");
        test::add_zbuf_chunk(b, h).id("ZBOD").u32(24);
        add("ids compare case included", b, false);
    }
    for (const Case& c : cases) {
        const ReadOutcome out = read_headers(c.bytes);
        EXPECT_EQ(out.accepted, c.accepted) << c.name;
        if (c.accepted) { EXPECT_EQ(out.position, c.position) << c.name; }
    }
}

TEST(ReadZbufHeaders, TheLastZbufChunkCounts) {
    HeaderFields first;
    first.width = 7;
    first.compression = 1;
    HeaderFields second;
    second.units = 9;
    ByteBuilder b;
    b.id("FORM").u32(124).id("ILBM");
    test::add_zbuf_chunk(b, first);
    test::add_zbuf_chunk(b, second).id("ZBOD").u32(24);
    const ReadOutcome out = read_headers(b.bytes());
    ASSERT_TRUE(out.accepted);
    EXPECT_EQ(out.header.width, 2u);
    EXPECT_EQ(out.header.units, 9);
    EXPECT_EQ(out.position, 108);
}

TEST(ReadZbufReading, NamesTheRuleAndTheBlockThatDecide) {
    for (const test::Refusal& c : test::refusals()) {
        std::FILE* stream = test::stream_of(c.bytes);
        ZBufHeader header{};
        const ZbufReading reading = read_zbuf_reading(stream, &header);
        const long position = std::ftell(stream);
        std::fclose(stream);
        EXPECT_EQ(reading.reason, c.reason) << c.name;
        EXPECT_EQ(reading.offset, c.offset) << c.name;
        EXPECT_EQ(read_headers(c.bytes).accepted, reading.accepted()) << c.name << ": the yes/no view agrees";
        if (reading.accepted()) {
            EXPECT_EQ(reading.position, c.offset + 8) << c.name;
            EXPECT_EQ(long(reading.position), position) << c.name;
        }
        // A pipe, which cannot tell its position or seek, gets the same verdict.
        std::FILE* pipe = c.bytes.size() <= 32 * 1024 ? test::pipe_holding(c.bytes) : nullptr;
        if (pipe == nullptr) {
            test::skip_case(c.name, "needs a pipe of at most 32 KiB");
            continue;
        }
        const ZbufReading piped = read_zbuf_reading(pipe, &header);
        std::fclose(pipe);
        EXPECT_EQ(piped.reason, reading.reason) << c.name << " through a pipe";
        EXPECT_EQ(piped.offset, reading.offset) << c.name << " through a pipe";
        EXPECT_EQ(piped.position, reading.position) << c.name << " through a pipe";
    }
}

TEST(FormatZbufFileName, PadsTheFrameNumberToFourDigits) {
    struct Case { const char* base; int32_t frame; const char* expected; } cases[] = {
        {"zbuf", 7, "zbuf0007.zb"},
        {"zbuf", 12, "zbuf0012.zb"},
        {"/renders/depth", 123, "/renders/depth0123.zb"},
        {"/renders/depth", -3, "/renders/depth-0003.zb"},
        {"d", 12345, "d12345.zb"},
        {"", 0, "0000.zb"},
    };
    for (const Case& c : cases) {
        char name[ZBUF_NAME_CAPACITY];
        ASSERT_TRUE(format_zbuf_file_name(name, c.base, c.frame)) << c.expected;
        EXPECT_STREQ(name, c.expected);
    }
}

TEST(FormatZbufFileName, RefusesANameThatDoesNotFit) {
    char name[ZBUF_NAME_CAPACITY];
    const std::string fits(252, 'a');  // 252 + 4 digits + ".zb" = 259 characters
    ASSERT_TRUE(format_zbuf_file_name(name, fits.c_str(), 1));
    EXPECT_EQ(std::strlen(name), 259u);
    EXPECT_FALSE(format_zbuf_file_name(name, fits.c_str(), 10000));
    EXPECT_STREQ(name, "");
    EXPECT_FALSE(format_zbuf_file_name(name, std::string(253, 'a').c_str(), 1));
    EXPECT_FALSE(format_zbuf_file_name(name, std::string(5000, 'a').c_str(), 1));
}
