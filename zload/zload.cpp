// The depth loader: opens the file, lets the header reader accept it, and
// hands the body to the host one row at a time through the image protocol
// that begin_image returns. Memory use is one row of the file whatever the
// height, and only once the file has shown that it holds a whole row: a
// header can announce rows of up to 2 GiB above a body of a few bytes.
#include "zload/zload.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>

#include "module/file.h"
#include "module/memory.h"
#include "zbuf/zbuf.h"

namespace {

using RowBuffer = std::unique_ptr<unsigned char[], ModuleFree>;

RowBuffer allocate(std::size_t size) { return RowBuffer(static_cast<unsigned char*>(obk_alloc(size))); }

// The block resized to `size` bytes, or null (the block freed) when the
// module heap refuses.
RowBuffer resized(RowBuffer block, std::size_t size) {
    void* larger = obk_realloc(block.get(), size);
    if (larger != nullptr) block.release();
    return RowBuffer(static_cast<unsigned char*>(larger));
}

// Doubles from this magnitude on round to infinity: it lies halfway between
// FLT_MAX and 2^128, and the tie goes to the even neighbour, infinity.
constexpr double FLOAT_OVERFLOW_THRESHOLD = static_cast<double>(FLT_MAX) + 0x1p103;

// Rounds to the nearest float; magnitudes beyond the float range become
// infinities of the same sign. Out-of-range values are settled here rather
// than left to a conversion the language leaves undefined for them.
float narrow_to_float(double value) {
    if (std::isnan(value)) return static_cast<float>(value);
    const double magnitude = std::fabs(value);
    if (magnitude > FLT_MAX) {
        const float limit = magnitude >= FLOAT_OVERFLOW_THRESHOLD ? HUGE_VALF : FLT_MAX;
        return std::signbit(value) ? -limit : limit;
    }
    return static_cast<float>(value);
}

bool read_whole(void* buffer, std::size_t size, std::FILE* stream) {
    return std::fread(buffer, 1, size, stream) == size;
}

enum class RowAhead { WHOLE, SHORT, UNKNOWN };

// Whether the stream holds `row_bytes` (at least 1) more bytes, told by
// reading the last of them; the stream is put back where it stood. UNKNOWN
// when the stream cannot be moved.
RowAhead row_ahead(std::FILE* stream, std::size_t row_bytes) {
    std::fpos_t start;
    if (std::fgetpos(stream, &start) != 0) return RowAhead::UNKNOWN;
    // Rows are below 2^31 bytes (zbuf_sizes_valid), so the offset fits a long.
    const bool moved = std::fseek(stream, static_cast<long>(row_bytes - 1), SEEK_CUR) == 0;
    const bool last_byte_read = moved && std::fgetc(stream) != EOF;
    // A stream that lost its place cannot deliver the row either.
    if (std::fsetpos(stream, &start) != 0) return RowAhead::SHORT;
    if (!moved) return RowAhead::UNKNOWN;
    return last_byte_read ? RowAhead::WHOLE : RowAhead::SHORT;
}

// Row 0 of the body, read into the buffer that carries every row; no buffer
// when the stream ends before row 0 is whole.
struct FirstRow {
    RowBuffer row;
    bool out_of_memory = false;  // the module heap refused the buffer
};

// The first step of the buffer that grows with a stream of unknown length.
constexpr std::size_t FIRST_GROWTH_STEP = 4096;

// Reads row 0 from a stream that cannot tell how much it holds into a
// buffer that doubles only while the stream keeps filling it: the buffer
// never holds more than twice what arrived (plus the first step).
FirstRow read_growing(std::FILE* stream, std::size_t row_bytes) {
    std::size_t capacity = std::min(row_bytes, FIRST_GROWTH_STEP);
    RowBuffer row = allocate(capacity);
    std::size_t filled = 0;
    while (row) {
        filled += std::fread(row.get() + filled, 1, capacity - filled, stream);
        if (filled < capacity) return {};
        if (capacity == row_bytes) return {std::move(row)};
        capacity = std::min(row_bytes, 2 * capacity);
        row = resized(std::move(row), capacity);
    }
    return {nullptr, true};
}

FirstRow read_first_row(std::FILE* stream, std::size_t row_bytes) {
    switch (row_ahead(stream, row_bytes)) {
    case RowAhead::SHORT: return {};
    case RowAhead::UNKNOWN: return read_growing(stream, row_bytes);
    case RowAhead::WHOLE: break;
    }
    RowBuffer row = allocate(row_bytes);
    if (!row) return {nullptr, true};
    if (!read_whole(row.get(), row_bytes, stream)) return {};
    return {std::move(row)};
}

// Turns a row of big-endian samples, as read, into the floats handed to the
// host, in place: 64-bit samples are narrowed into the row's front half.
// Sample x is read before float x is written, and float x ends at or before
// the start of sample x + 1.
const float* host_row(unsigned char* row, int32_t width, uint16_t value_type) {
    if (value_type != ZBUF_FLOAT64) {
        swap_bytes(row, sizeof(float), width);
        return reinterpret_cast<const float*>(row);
    }
    swap_bytes(row, sizeof(double), width);
    for (std::size_t x = 0; x < static_cast<std::size_t>(width); ++x) {
        double sample;
        std::memcpy(&sample, row + x * sizeof sample, sizeof sample);
        const float value = narrow_to_float(sample);
        std::memcpy(row + x * sizeof value, &value, sizeof value);
    }
    return reinterpret_cast<const float*>(row);
}

// Sends row 0, which `row` holds, and then each row read into it. Returns
// the number of rows the host accepted; it stops at the first short read
// or refused row, so no row after it is read.
int32_t send_rows(const ImageProtocol& protocol, std::FILE* stream, unsigned char* row, int32_t width,
                  int32_t height, uint16_t value_type) {
    const std::size_t row_bytes = static_cast<std::size_t>(width) * zbuf_sample_size(value_type);
    int32_t y = 0;
    for (; y < height; ++y) {
        if (y > 0 && !read_whole(row, row_bytes, stream)) break;
        if (protocol.send_line(protocol.protocol_data, y, host_row(row, width, value_type)) != 0) break;
    }
    return y;
}

bool sizes_fit(int32_t width, int32_t height, uint16_t value_type) {
    return width > 0 && height >= 0 &&
           zbuf_sizes_valid(static_cast<uint32_t>(width), static_cast<uint32_t>(height), value_type);
}

bool has_rows(int32_t height, uint16_t value_type) {
    return height > 0 && (value_type == ZBUF_FLOAT32 || value_type == ZBUF_FLOAT64);
}

}  // namespace

extern "C" {

void zload_send_image(LoaderLocal* local, std::FILE* stream, int32_t width, int32_t height,
                      uint16_t value_type) {
    if (!sizes_fit(width, height, value_type)) {
        local->result = STATUS_NOT_RECOGNISED;
        return;
    }
    FirstRow first;
    if (has_rows(height, value_type)) {
        first = read_first_row(stream, static_cast<std::size_t>(width) * zbuf_sample_size(value_type));
        if (first.out_of_memory) {
            local->result = STATUS_FAILED;
            return;
        }
    }
    ImageProtocol* protocol = local->begin_image(local->host_data, IMAGE_GREY_FLOAT);
    if (protocol == nullptr) {
        local->result = STATUS_FAILED;
        return;
    }
    protocol->set_size(protocol->protocol_data, width, height);
    protocol->set_param(protocol->protocol_data, IMAGE_PARAM_1, 0, 1.0f);
    const int32_t rows_sent =
        first.row ? send_rows(*protocol, stream, first.row.get(), width, height, value_type) : 0;
    first.row.reset();  // every buffer is released before the host finishes the image

    const int32_t error_code = rows_sent >= height ? STATUS_OK : STATUS_FAILED;
    local->result = protocol->finish(protocol->protocol_data, error_code);
    local->end_image(local->host_data, protocol);
}

// One activation is one whole load. The version, the service lookup and the
// server data are not needed; the outcome goes into `result` and the
// activation itself always succeeds.
int32_t zload_activate(int32_t, HostGlobal, void* local_record, void*) {
    auto* local = static_cast<LoaderLocal*>(local_record);
    if (local == nullptr) return ACTIVATE_OK;
    File file(local->filename != nullptr ? std::fopen(local->filename, "rb") : nullptr);
    if (!file) {
        local->result = STATUS_BAD_FILE;
        return ACTIVATE_OK;
    }
    ZBufHeader header{};
    if (!read_zbuf_headers(file.get(), &header)) {
        local->result = STATUS_NOT_RECOGNISED;
        return ACTIVATE_OK;
    }
    // The reader refuses sizes of 2^31 and more, so both fit in 32 signed bits.
    zload_send_image(local, file.get(), static_cast<int32_t>(header.width),
                     static_cast<int32_t>(header.height), header.value_type);
    return ACTIVATE_OK;
}

}  // extern "C"
