// Depth files that the reader refuses, one per rule, and a few oddities it
// accepts: the bytes, the reason it gives, the offset of the block that
// decides, and a part of the explanation that `zhost info` prints.
#pragma once

#include <vector>

#include "test_support.h"
#include "zbuf/zbuf.h"

namespace test {

struct Refusal {
    const char* name;
    Bytes bytes;
    ZbufReason reason;
    uint64_t offset;
    const char* explanation;
};

// FORM header, one "ZBUF" chunk, then a "ZBOD" chunk header of `body_size`
// (default W x H x 4) and `body_bytes` zero bytes.
inline Bytes file_with(const HeaderFields& h, int64_t body_size = -1, uint32_t form_size = 0,
                       uint32_t body_bytes = 0) {
    const uint32_t body = body_size < 0 ? h.width * h.height * 4 : uint32_t(body_size);
    ByteBuilder b;
    b.id("FORM").u32(form_size ? form_size : body + 56).id("ILBM");
    add_zbuf_chunk(b, h).id("ZBOD").u32(body).zeros(body_bytes);
    return b.bytes();
}

inline HeaderFields header_with(auto change) {
    HeaderFields h;
    change(h);
    return h;
}

inline Bytes with_zbuf_size(uint32_t stored) {
    ByteBuilder b;
    b.id("FORM").u32(80).id("ILBM");
    add_zbuf_chunk(b, HeaderFields{}, stored).id("ZBOD").u32(24);
    return b.bytes();
}

inline std::vector<Refusal> refusals() {
    using R = ZbufReason;
    const HeaderFields h;
    std::vector<Refusal> cases;
    const auto add = [&](const char* name, Bytes bytes, R reason, uint64_t offset, const char* text) {
        cases.push_back({name, std::move(bytes), reason, offset, text});
    };
    add("well formed", depth_file(), R::ACCEPTED, 56, "");
    add("eleven bytes", Bytes(11, 'F'), R::SHORT_FORM_HEADER, 0, "ends inside the 12-byte FORM header");
    add("RIFF", ByteBuilder().id("RIFF").u32(80).id("ILBM").bytes(), R::NOT_FORM, 0, "begins with \"RIFF\"");
    add("PNG bytes", ByteBuilder().u32(0x89504E47).u32(0x0D0A1A0A).u32(0).bytes(), R::NOT_FORM, 0, "begins with 89 50 4E 47");
    add("FORM 8SVX", ByteBuilder().id("FORM").u32(80).id("8SVX").bytes(), R::NOT_ILBM, 0, "FORM type is \"8SVX\"");
    {
        ByteBuilder b;
        b.id("FORM").u32(80).id("ILBM");
        add_zbuf_chunk(b, h);
        add("ends after ZBUF", b.bytes(), R::ENDS_BEFORE_BODY, 56, "file ends at byte 56");
    }
    add("ZBUF size 34", with_zbuf_size(34), R::HEADER_CHUNK_SIZE, 12, "has size 34, not 36");
    add("ZBUF size 37", with_zbuf_size(37), R::HEADER_CHUNK_SIZE, 12, "has size 37, not 36");
    add("short ZBUF", ByteBuilder().id("FORM").u32(80).id("ILBM").id("ZBUF").u32(36).zeros(20).bytes(),
        R::SHORT_HEADER_CHUNK, 12, "inside the \"ZBUF\" chunk at offset 12");
    {
        ByteBuilder b;
        b.id("FORM").u32(90).id("ILBM").id("JUNK").u32(0xFFFFFFF0u);
        add_zbuf_chunk(b, h).id("ZBOD").u32(24);
        add("huge chunk", b.bytes(), R::CHUNK_TOO_LARGE, 12, "chunk \"JUNK\" at offset 12 claims 4294967280 bytes");
    }
    {
        ByteBuilder b;
        b.id("FORM").u32(20).id("ILBM").id("JUNK").u32(9).zeros(10);
        add_zbuf_chunk(b, h).id("ZBOD").u32(24);
        add("chunk past the FORM", b.bytes(), R::PAST_FORM_SIZE, 12, "chunk \"JUNK\" at offset 12 ends at byte 30, past the FORM size 20");
    }
    add("FORM size 55", file_with(h, -1, 55), R::PAST_FORM_SIZE, 12, "ends at byte 56, past the FORM size 55");
    add("FORM size 2^31", file_with(h, -1, 0x80000000u), R::PAST_FORM_SIZE, 12, "2^31 or more");
    add("ZBOD first", ByteBuilder().id("FORM").u32(80).id("ILBM").id("ZBOD").u32(24).bytes(), R::BODY_BEFORE_HEADER, 12,
        "\"ZBOD\" chunk at offset 12 comes before any \"ZBUF\"");
    add("width 0", file_with(header_with([](HeaderFields& f) { f.width = 0; }), 0), R::WIDTH_ZERO, 56, "width is 0");
    add("compression", file_with(header_with([](HeaderFields& f) { f.compression = 1; })), R::COMPRESSION, 56,
             "compression is 1");
    add("ordering", file_with(header_with([](HeaderFields& f) { f.ordering = 3; })), R::ORDERING, 56, "ordering is 3");
    add("scale", file_with(header_with([](HeaderFields& f) { f.scale = 2.0f; })), R::SCALE, 56, "scale is 2");
    add("value type", file_with(header_with([](HeaderFields& f) { f.value_type = 5; })), R::VALUE_TYPE, 56,
             "value type is 5");
    add("wrapping size",
             file_with(header_with([](HeaderFields& f) { f.width = 0x40000000u; f.height = 1; }), 0, 0x7FFFFFF0u),
             R::SIZES_BEYOND_FORMAT, 56, "does not fit");
    add("body size", file_with(h, 48), R::BODY_SIZE, 56, "\"ZBOD\" size 48 (rounded to even) is not 2 x 3 x 4 = 24");
    add("type 7, 4-byte body", file_with(header_with([](HeaderFields& f) { f.value_type = 7; }), 24), R::BODY_SIZE, 56,
             "2 x 3 x 8 = 48");
    add("body above FORM", file_with(header_with([](HeaderFields& f) { f.width = 100; f.height = 1; }), 400, 60),
             R::BODY_LARGER_THAN_FORM, 56, "larger than the FORM size 60");
    // Accepted oddities: the reader's own rules, nothing stricter.
    add("units and offset", file_with(header_with([](HeaderFields& f) { f.units = 9; f.offset = 5.0f; })),
             R::ACCEPTED, 56, "");
    add("body one byte short", file_with(h, 23), R::ACCEPTED, 56, "");
    add("ZBOD size equal to the FORM size", file_with(header_with([](HeaderFields& f) { f.height = 7; }), -1, 56),
        R::ACCEPTED, 56, "");
    {
        ByteBuilder b;
        b.id("FORM").u32(90).id("ILBM").id("JUNK").u32(5).zeros(6);
        add_zbuf_chunk(b, h).id("ZBOD").u32(24);
        add("odd chunk skipped", b.bytes(), R::ACCEPTED, 70, "");
    }
    return cases;
}

}  // namespace test
