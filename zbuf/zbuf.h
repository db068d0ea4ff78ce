// IFF-ZBUF depth files: a FORM "ILBM" holding a "ZBUF" header chunk and a
// "ZBOD" body chunk of big-endian float samples, one row after another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Header of a depth file, held in memory in processor byte order.
struct ZBufHeader {
    uint32_t width;
    uint32_t height;
    uint16_t value_type;        // ZBUF_FLOAT32 or ZBUF_FLOAT64
    uint16_t compression;       // 0
    uint16_t ordering;          // 0
    uint16_t units;             // never interpreted
    float min_depth;
    float max_depth;
    float background_depth;
    float scale;                // 1.0
    float offset;               // never interpreted
};
static_assert(sizeof(ZBufHeader) == 36, "ZBufHeader is the 36-byte chunk payload");

enum : uint16_t {
    ZBUF_FLOAT32 = 6,
    ZBUF_FLOAT64 = 7,
};

// Bytes written before the body: FORM header, ZBUF chunk, ZBOD chunk header.
constexpr std::size_t ZBUF_HEADERS_SIZE = 64;

// Capacity of a depth file name, terminator included.
constexpr std::size_t ZBUF_NAME_CAPACITY = 260;

// Bytes per body sample for a value type: 8 for ZBUF_FLOAT64, else 4.
uint32_t zbuf_sample_size(uint16_t value_type);

// True when width, height and the body size of the header fit the format's
// 32-bit sizes: width and height below 2^31, a row below 2^31 bytes and the
// body below 2^32 bytes.
bool zbuf_sizes_valid(uint32_t width, uint32_t height, uint16_t value_type);

// Reverses the byte order of `count` consecutive elements of `element_size`
// bytes (2, 4 or 8) in place.
void swap_bytes(void* data, int32_t element_size, int32_t count);

// Writes the 64 bytes that precede the body. False at the first block that is
// not written whole (what was written stays), or, writing nothing, when the
// header's sizes do not fit the format.
bool write_zbuf_headers(const ZBufHeader* header, std::FILE* stream);

// Reads and validates everything up to the first body byte. True when the
// file is accepted: the stream then stands at the body and `header` holds the
// last "ZBUF" chunk in processor order.
bool read_zbuf_headers(std::FILE* stream, ZBufHeader* header);

// Formats the depth file name of a frame: base, the frame number with at
// least four digits (a minus sign before them), ".zb". False, leaving an empty text, when the name does
// not fit in ZBUF_NAME_CAPACITY characters.
bool format_zbuf_file_name(char (&name)[ZBUF_NAME_CAPACITY], const char* base, int32_t frame);
