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

// Why the reader refuses a file, in the order of its tests; ACCEPTED when it
// does not.
enum class ZbufReason : uint8_t {
    ACCEPTED,
    SHORT_FORM_HEADER,      // fewer than 12 bytes
    NOT_FORM,               // does not begin with "FORM"
    NOT_ILBM,               // FORM type other than "ILBM"
    ENDS_BEFORE_BODY,       // a chunk header cut short: no "ZBOD" reached
    HEADER_CHUNK_SIZE,      // "ZBUF" chunk whose rounded size is not 36
    SHORT_HEADER_CHUNK,     // file ends inside a "ZBUF" payload
    CHUNK_TOO_LARGE,        // a skipped chunk reaching beyond 2^31 bytes
    SEEK_FAILED,            // the stream cannot be moved past a skipped chunk
    PAST_FORM_SIZE,         // position after a chunk beyond the FORM size
    BODY_BEFORE_HEADER,     // "ZBOD" before any "ZBUF"
    WIDTH_ZERO,
    COMPRESSION,
    ORDERING,
    SCALE,
    VALUE_TYPE,
    SIZES_BEYOND_FORMAT,    // width, height or body size beyond 32-bit sizes
    BODY_SIZE,              // rounded "ZBOD" size not width x height x sample size
    BODY_LARGER_THAN_FORM,  // rounded "ZBOD" size above the FORM size
};

// The reader's verdict on a file and what explains it.
struct ZbufReading {
    ZbufReason reason;
    // The block that decided: offset 0 for the FORM header, else the chunk
    // header's offset; its id (the FORM type for NOT_ILBM) and stored size.
    uint64_t offset;
    char id[4];
    uint32_t stored_size;
    // Where the reader stood when it decided: the end of the chunk for
    // PAST_FORM_SIZE, the first body byte for an accepted file.
    uint64_t position;
    uint32_t form_size;     // read from the FORM header
    uint32_t header_chunks; // "ZBUF" chunks read; the header holds the last

    bool accepted() const { return reason == ZbufReason::ACCEPTED; }
    // A stored chunk size rounded up to even, as the reader uses it.
    uint64_t rounded_size() const { return uint64_t{stored_size} + (stored_size & 1u); }
};

// Reads and validates everything up to the first body byte, in blocks of 12,
// 8 and 36 bytes. When the file is accepted the stream stands at the body and
// `header` holds the last "ZBUF" chunk in processor order.
ZbufReading read_zbuf_reading(std::FILE* stream, ZBufHeader* header);

// read_zbuf_reading's verdict alone: true when the file is accepted.
bool read_zbuf_headers(std::FILE* stream, ZBufHeader* header);

// Formats the depth file name of a frame: base, the frame number with at
// least four digits (a minus sign before them), ".zb". False, leaving an empty text, when the name does
// not fit in ZBUF_NAME_CAPACITY characters.
bool format_zbuf_file_name(char (&name)[ZBUF_NAME_CAPACITY], const char* base, int32_t frame);
