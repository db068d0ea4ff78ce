// The depth loader: opens the file, lets the header reader accept it, and
// hands the body to the host one row at a time through the image protocol
// that begin_image returns. Memory use is one row whatever the height.
#include "zload/zload.h"

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <memory>

#include "module/file.h"
#include "module/memory.h"
#include "zbuf/zbuf.h"

namespace {

template <typename T>
using RowBuffer = std::unique_ptr<T[], ModuleFree>;

// A buffer of `width` samples; null when the module heap refuses it.
template <typename T>
RowBuffer<T> allocate_row(int32_t width) {
    return RowBuffer<T>(static_cast<T*>(obk_alloc(static_cast<std::size_t>(width) * sizeof(T))));
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

bool offer_row(const ImageProtocol& protocol, int32_t y, const float* row) {
    return protocol.send_line(protocol.protocol_data, y, row) == 0;
}

// Each sender returns the number of rows the host accepted; it stops at the
// first short read or refused row, so no row after it is read.
int32_t send_float32_rows(const ImageProtocol& protocol, std::FILE* stream, float* row,
                          int32_t width, int32_t height) {
    const std::size_t row_bytes = static_cast<std::size_t>(width) * sizeof(float);
    int32_t y = 0;
    for (; y < height; ++y) {
        if (!read_whole(row, row_bytes, stream)) break;
        swap_bytes(row, sizeof(float), width);
        if (!offer_row(protocol, y, row)) break;
    }
    return y;
}

int32_t send_float64_rows(const ImageProtocol& protocol, std::FILE* stream, float* row,
                          int32_t width, int32_t height) {
    RowBuffer<double> samples = allocate_row<double>(width);
    if (!samples) return 0;
    const std::size_t row_bytes = static_cast<std::size_t>(width) * sizeof(double);
    int32_t y = 0;
    for (; y < height; ++y) {
        if (!read_whole(samples.get(), row_bytes, stream)) break;
        swap_bytes(samples.get(), sizeof(double), width);
        for (int32_t x = 0; x < width; ++x) row[x] = narrow_to_float(samples[x]);
        if (!offer_row(protocol, y, row)) break;
    }
    return y;
}

int32_t send_rows(const ImageProtocol& protocol, std::FILE* stream, float* row, int32_t width,
                  int32_t height, uint16_t value_type) {
    switch (value_type) {
        case ZBUF_FLOAT32: return send_float32_rows(protocol, stream, row, width, height);
        case ZBUF_FLOAT64: return send_float64_rows(protocol, stream, row, width, height);
        default: return 0;
    }
}

bool sizes_fit(int32_t width, int32_t height, uint16_t value_type) {
    return width > 0 && height >= 0 &&
           zbuf_sizes_valid(static_cast<uint32_t>(width), static_cast<uint32_t>(height), value_type);
}

}  // namespace

extern "C" {

void zload_send_image(LoaderLocal* local, std::FILE* stream, int32_t width, int32_t height,
                      uint16_t value_type) {
    if (!sizes_fit(width, height, value_type)) {
        local->result = STATUS_NOT_RECOGNISED;
        return;
    }
    RowBuffer<float> row = allocate_row<float>(width);
    if (!row) {
        local->result = STATUS_FAILED;
        return;
    }
    ImageProtocol* protocol = local->begin_image(local->host_data, IMAGE_GREY_FLOAT);
    if (protocol == nullptr) {
        local->result = STATUS_FAILED;
        return;
    }
    protocol->set_size(protocol->protocol_data, width, height);
    protocol->set_param(protocol->protocol_data, IMAGE_PARAM_1, 0, 1.0f);
    const int32_t rows_sent = send_rows(*protocol, stream, row.get(), width, height, value_type);
    row.reset();  // every buffer is released before the host finishes the image

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
