#include "tests/conformance/hostile_corpus.h"

#include <cstdio>
#include <cstring>
#include <limits>

#include "tests/test_support.h"

namespace conformance {
namespace {

using test::ByteBuilder;
using test::Bytes;
using test::HeaderFields;
using test::header_fields;

// FORM and ZBUF chunk for `h` with a body chunk of `body_size` bytes claimed
// and `body` following; `form_size` 0 means the size the body implies.
Bytes file_of(const HeaderFields& h, uint32_t body_size, const Bytes& body, uint32_t form_size = 0) {
    ByteBuilder b;
    b.id("FORM").u32(form_size ? form_size : body_size + 56).id("ILBM");
    test::add_zbuf_chunk(b, h).id("ZBOD").u32(body_size);
    Bytes bytes = b.bytes();
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

Bytes f32_body(std::initializer_list<uint32_t> patterns) {
    ByteBuilder b;
    for (uint32_t bits : patterns) b.u32(bits);
    return b.bytes();
}

Bytes f64_body(std::initializer_list<double> values) {
    ByteBuilder b;
    for (double value : values) b.f64(value);
    return b.bytes();
}

// A chunk of `size` bytes claimed before the header, `present` of them in the file.
Bytes junk_first(uint32_t size, std::size_t present) {
    ByteBuilder b;
    b.id("FORM").u32(0x7FFFFFFF).id("ILBM").id("JUNK").u32(size).zeros(present);
    test::add_zbuf_chunk(b, header_fields(2, 3)).id("ZBOD").u32(24).zeros(24);
    return b.bytes();
}

void add_every_cut(std::vector<NamedFile>& corpus, const std::string& stem, const Bytes& whole) {
    for (std::size_t size = 0; size <= whole.size(); ++size) {
        char name[64];
        std::snprintf(name, sizeof name, "%s-cut-%03zu.zb", stem.c_str(), size);
        corpus.push_back({name, Bytes(whole.begin(), whole.begin() + std::ptrdiff_t(size))});
    }
}

}  // namespace

std::vector<NamedFile> hostile_corpus() {
    const double inf = std::numeric_limits<double>::infinity();
    const Bytes valid32 = test::depth_file(header_fields(2, 3));
    const Bytes valid64 = file_of(header_fields(3, 2, 7), 48, f64_body({1.5, -0.0, 1e300, -1e300, 3.4028235677973366e38, 1e-310}));
    ByteBuilder odd_junk;
    odd_junk.id("FORM").u32(12 + 44 + 8 + 24).id("ILBM").id("JUNK").u32(3).zeros(4);
    test::add_zbuf_chunk(odd_junk, header_fields(2, 3)).id("ZBOD").u32(24).zeros(24);

    std::vector<NamedFile> corpus = {
        {"valid-f64-beyond-float.zb", valid64},
        {"f64-infinities-nan.zb", file_of(header_fields(2, 1, 7), 16, f64_body({inf, -std::numeric_limits<double>::quiet_NaN()}))},
        {"f32-nan-payloads.zb", file_of(header_fields(3, 2), 24, f32_body({0x7FC00000u, 0xFFC00000u, 0x7F800001u, 0xFFFFFFFFu,
                                                                     0x7FBFFFFFu, 0x00000001u}))},
        {"empty.zb", {}},
        {"not-iff.zb", Bytes(300, 'x')},
        {"form-of-2-gib.zb", file_of(header_fields(2, 3), 24, Bytes(24, 0), 0x80000000u)},
        {"form-smaller-than-chunks.zb", file_of(header_fields(2, 3), 24, Bytes(24, 0), 16)},
        {"body-claims-a-row-more.zb", file_of(header_fields(2, 3), 32, Bytes(24, 0))},
        {"body-claims-4-gib.zb", file_of(header_fields(2, 3), 0xFFFFFFFFu, Bytes(24, 0))},
        {"junk-of-4-gib.zb", junk_first(0xFFFFFFFFu, 16)},
        {"junk-to-2-gib.zb", junk_first(0x7FFFFFF0u, 16)},
        {"junk-just-within-2-gib.zb", junk_first(0x7FFFFF00u, 16)},
        {"junk-odd-size-padded.zb", odd_junk.bytes()},
        {"zbuf-chunk-of-4-gib.zb", [] {
             ByteBuilder b;
             b.id("FORM").u32(0x7FFFFFFF).id("ILBM").id("ZBUF").u32(0xFFFFFFF0u).zeros(64);
             return b.bytes();
         }()},
        {"two-headers-last-counts.zb", [] {
             ByteBuilder b;
             b.id("FORM").u32(44 + 56 + 24).id("ILBM");
             test::add_zbuf_chunk(b, header_fields(9, 9));
             test::add_zbuf_chunk(b, header_fields(2, 3)).id("ZBOD").u32(24).zeros(24);
             return b.bytes();
         }()},
        {"width-0.zb", file_of(header_fields(0, 3), 0, {})},
        {"height-0.zb", file_of(header_fields(2, 0), 0, {})},
        {"width-2-gib.zb", file_of(header_fields(0x80000000u, 1), 0, {})},
        {"100000-squared-over-100-bytes.zb", file_of(header_fields(100000, 100000), 1410065408u, Bytes(100, 0))},
        {"16384-squared-with-one-row.zb", file_of(header_fields(16384, 16384), 0x40000000u, Bytes(16384 * 4, 0))},
        {"compression-1.zb", [] { HeaderFields h = header_fields(2, 3); h.compression = 1; return test::depth_file(h); }()},
        {"ordering-1.zb", [] { HeaderFields h = header_fields(2, 3); h.ordering = 1; return test::depth_file(h); }()},
        {"scale-2.zb", [] { HeaderFields h = header_fields(2, 3); h.scale = 2.0f; return test::depth_file(h); }()},
        {"value-type-5.zb", [] { HeaderFields h = header_fields(2, 3); h.value_type = 5; return test::depth_file(h); }()},
    };
    add_every_cut(corpus, "f32", valid32);
    add_every_cut(corpus, "f64", valid64);
    return corpus;
}

}  // namespace conformance
