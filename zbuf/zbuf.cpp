#include "zbuf/zbuf.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr char FORM_ID[4] = {'F', 'O', 'R', 'M'};
constexpr char ILBM_ID[4] = {'I', 'L', 'B', 'M'};
constexpr char ZBUF_ID[4] = {'Z', 'B', 'U', 'F'};
constexpr char ZBOD_ID[4] = {'Z', 'B', 'O', 'D'};
constexpr uint32_t ZBUF_CHUNK_SIZE = sizeof(ZBufHeader);

void put_id(unsigned char* out, const char (&id)[4]) { std::memcpy(out, id, 4); }

bool has_id(const unsigned char* bytes, const char (&id)[4]) {
    return std::memcmp(bytes, id, 4) == 0;
}

void put_u32_be(unsigned char* out, uint32_t value) {
    out[0] = static_cast<unsigned char>(value >> 24);
    out[1] = static_cast<unsigned char>(value >> 16);
    out[2] = static_cast<unsigned char>(value >> 8);
    out[3] = static_cast<unsigned char>(value);
}

uint32_t get_u32_be(const unsigned char* in) {
    return (uint32_t{in[0]} << 24) | (uint32_t{in[1]} << 16) | (uint32_t{in[2]} << 8) | in[3];
}

// Converts a header between file and processor order: two 4-byte, four
// 2-byte and five 4-byte elements.
void swap_header(ZBufHeader& header) {
    auto* bytes = reinterpret_cast<unsigned char*>(&header);
    swap_bytes(bytes + offsetof(ZBufHeader, width), 4, 2);
    swap_bytes(bytes + offsetof(ZBufHeader, value_type), 2, 4);
    swap_bytes(bytes + offsetof(ZBufHeader, min_depth), 4, 5);
}

bool write_block(const void* data, std::size_t size, std::FILE* stream) {
    return std::fwrite(data, 1, size, stream) == size;
}

bool read_block(void* data, std::size_t size, std::FILE* stream) {
    return std::fread(data, 1, size, stream) == size;
}

uint64_t body_size(const ZBufHeader& header) {
    return uint64_t{header.width} * header.height * zbuf_sample_size(header.value_type);
}

// The tests of a "ZBOD" chunk header, in order.
ZbufReason body_refusal(const ZBufHeader& header, uint64_t rounded_body_size, uint32_t form_size,
                        uint32_t header_chunks) {
    if (header.width == 0) return header_chunks == 0 ? ZbufReason::BODY_BEFORE_HEADER : ZbufReason::WIDTH_ZERO;
    if (header.compression != 0) return ZbufReason::COMPRESSION;
    if (header.ordering != 0) return ZbufReason::ORDERING;
    if (header.scale != 1.0f) return ZbufReason::SCALE;
    if (header.value_type != ZBUF_FLOAT32 && header.value_type != ZBUF_FLOAT64) return ZbufReason::VALUE_TYPE;
    if (!zbuf_sizes_valid(header.width, header.height, header.value_type)) return ZbufReason::SIZES_BEYOND_FORMAT;
    if (rounded_body_size != body_size(header)) return ZbufReason::BODY_SIZE;
    if (rounded_body_size > form_size) return ZbufReason::BODY_LARGER_THAN_FORM;
    return ZbufReason::ACCEPTED;
}

// The FORM size counts as a signed 32-bit number in the position test, so a
// FORM size of 2^31 or more refuses every position.
bool position_within_form(uint64_t position, uint32_t form_size) {
    return static_cast<int64_t>(position) <= static_cast<int32_t>(form_size);
}

// Moves the stream `size` bytes (below 2^31) on. A stream that cannot seek
// (a pipe) is read and the bytes dropped; one that ends first counts as
// moved, as a seek past the end of a file does, and the next read fails.
bool skip(std::FILE* stream, uint64_t size) {
    if (std::fseek(stream, static_cast<long>(size), SEEK_CUR) == 0) return true;
    if (errno != ESPIPE) return false;
    std::clearerr(stream);
    unsigned char dropped[4096];
    while (size > 0) {
        const std::size_t want = size < sizeof dropped ? std::size_t(size) : sizeof dropped;
        const std::size_t got = std::fread(dropped, 1, want, stream);
        size -= got;
        if (got < want) return !std::ferror(stream);
    }
    return true;
}

}  // namespace

uint32_t zbuf_sample_size(uint16_t value_type) { return value_type == ZBUF_FLOAT64 ? 8 : 4; }

bool zbuf_sizes_valid(uint32_t width, uint32_t height, uint16_t value_type) {
    const uint64_t sample = zbuf_sample_size(value_type);
    return width <= INT32_MAX && height <= INT32_MAX && width * sample <= INT32_MAX &&
           uint64_t{width} * height * sample <= UINT32_MAX;
}

namespace {

// Byte-reversed words, written as shifts so that compilers turn each loop
// into vector byte shuffles: rows of a frame are swapped in place.
uint16_t reversed(uint16_t v) { return uint16_t((v >> 8) | (v << 8)); }
uint32_t reversed(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
uint64_t reversed(uint64_t v) { return (uint64_t{reversed(uint32_t(v))} << 32) | reversed(uint32_t(v >> 32)); }

#if defined(__SSE2__)
// The bytes of each 32-bit lane reversed: the lane's halves swapped, then
// the bytes of each half. Compilers make the scalar form a bswap per word,
// which no SSE2 instruction does four at a time.
__m128i reversed_lanes(__m128i v) {
    v = _mm_or_si128(_mm_slli_epi32(v, 16), _mm_srli_epi32(v, 16));
    return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
}
#endif

template <typename Word>
void reverse_words(unsigned char* bytes, int32_t count) {
    int32_t i = 0;
#if defined(__SSE2__)
    if constexpr (sizeof(Word) >= sizeof(uint32_t)) {
        constexpr int32_t WORDS_PER_VECTOR = sizeof(__m128i) / sizeof(Word);
        for (; i + WORDS_PER_VECTOR <= count; i += WORDS_PER_VECTOR, bytes += sizeof(__m128i)) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
            if constexpr (sizeof(Word) == sizeof(uint64_t)) v = _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes), reversed_lanes(v));
        }
    }
#endif
    for (; i < count; ++i, bytes += sizeof(Word)) {
        Word word;
        std::memcpy(&word, bytes, sizeof word);
        word = reversed(word);
        std::memcpy(bytes, &word, sizeof word);
    }
}

}  // namespace

void swap_bytes(void* data, int32_t element_size, int32_t count) {
    auto* bytes = static_cast<unsigned char*>(data);
    switch (element_size) {
    case 2: return reverse_words<uint16_t>(bytes, count);
    case 4: return reverse_words<uint32_t>(bytes, count);
    case 8: return reverse_words<uint64_t>(bytes, count);
    default: break;
    }
    for (int32_t i = 0; i < count; ++i, bytes += element_size) {
        for (int32_t k = 0; k < element_size / 2; ++k) {
            std::swap(bytes[k], bytes[element_size - 1 - k]);
        }
    }
}

bool write_zbuf_headers(const ZBufHeader* header, std::FILE* stream) {
    if (!zbuf_sizes_valid(header->width, header->height, header->value_type) ||
        body_size(*header) + 56 > UINT32_MAX) {
        return false;
    }
    const auto body = static_cast<uint32_t>(body_size(*header));

    unsigned char form[12];
    put_id(form, FORM_ID);
    put_u32_be(form + 4, body + 56);
    put_id(form + 8, ILBM_ID);
    if (!write_block(form, sizeof form, stream)) return false;

    unsigned char zbuf_chunk[8];
    put_id(zbuf_chunk, ZBUF_ID);
    put_u32_be(zbuf_chunk + 4, ZBUF_CHUNK_SIZE);
    if (!write_block(zbuf_chunk, sizeof zbuf_chunk, stream)) return false;

    ZBufHeader file_order = *header;
    swap_header(file_order);
    if (!write_block(&file_order, sizeof file_order, stream)) return false;

    unsigned char zbod_chunk[8];
    put_id(zbod_chunk, ZBOD_ID);
    put_u32_be(zbod_chunk + 4, body);
    return write_block(zbod_chunk, sizeof zbod_chunk, stream);
}

namespace {

// Ends the reading with its verdict.
ZbufReading decide(ZbufReading& reading, ZbufReason reason) {
    reading.reason = reason;
    return reading;
}

}  // namespace

ZbufReading read_zbuf_reading(std::FILE* stream, ZBufHeader* header) {
    ZbufReading reading{};
    unsigned char form[12];
    if (!read_block(form, sizeof form, stream)) return decide(reading, ZbufReason::SHORT_FORM_HEADER);
    std::memcpy(reading.id, form, 4);
    if (!has_id(form, FORM_ID)) return decide(reading, ZbufReason::NOT_FORM);
    std::memcpy(reading.id, form + 8, 4);
    if (!has_id(form + 8, ILBM_ID)) return decide(reading, ZbufReason::NOT_ILBM);
    reading.form_size = get_u32_be(form + 4);
    reading.position = sizeof form;

    header->width = 0;
    for (;;) {
        reading.offset = reading.position;
        unsigned char chunk[8];
        if (!read_block(chunk, sizeof chunk, stream)) return decide(reading, ZbufReason::ENDS_BEFORE_BODY);
        std::memcpy(reading.id, chunk, 4);
        reading.stored_size = get_u32_be(chunk + 4);
        reading.position = reading.offset + sizeof chunk;
        // Rounded in 64 bits: a stored size of 2^32 - 1 must not wrap to 0.
        const uint64_t size = reading.rounded_size();

        if (has_id(chunk, ZBOD_ID)) {
            return decide(reading, body_refusal(*header, size, reading.form_size, reading.header_chunks));
        }
        if (has_id(chunk, ZBUF_ID)) {
            if (size != ZBUF_CHUNK_SIZE) return decide(reading, ZbufReason::HEADER_CHUNK_SIZE);
            // Read aside, so that a cut chunk leaves the last whole one in `header`.
            ZBufHeader chunk_header;
            if (!read_block(&chunk_header, sizeof chunk_header, stream)) {
                return decide(reading, ZbufReason::SHORT_HEADER_CHUNK);
            }
            swap_header(chunk_header);
            *header = chunk_header;
            ++reading.header_chunks;
            reading.position += sizeof chunk_header;
        } else {
            // A skip that would pass the FORM size fails the position test
            // below anyway; refusing it first keeps the seek within `long`.
            if (reading.position + size > INT32_MAX) return decide(reading, ZbufReason::CHUNK_TOO_LARGE);
            if (!skip(stream, size)) return decide(reading, ZbufReason::SEEK_FAILED);
            reading.position += size;
        }
        if (!position_within_form(reading.position, reading.form_size)) {
            return decide(reading, ZbufReason::PAST_FORM_SIZE);
        }
    }
}

bool read_zbuf_headers(std::FILE* stream, ZBufHeader* header) {
    return read_zbuf_reading(stream, header).accepted();
}

bool format_zbuf_file_name(char (&name)[ZBUF_NAME_CAPACITY], const char* base, int32_t frame) {
    const int length = std::snprintf(name, sizeof name, "%s%.4d.zb", base, frame);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof name) {
        name[0] = '\0';
        return false;
    }
    return true;
}
