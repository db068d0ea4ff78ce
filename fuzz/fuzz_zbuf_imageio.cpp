// Fuzz target: the OpenImageIO plug-in's reader on arbitrary file content.
// It opens exactly the files the depth file reader accepts, reads exactly
// the whole rows the file holds, and holds no more than twice the file.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "fuzz/scratch_file.h"

#include "module/file.h"
#include "oiio/zbuf_imageio.h"
#include "zbuf/zbuf.h"

namespace {

// The rows a file holds whole behind its headers; -1 when the reader
// refuses it.
int64_t whole_rows(std::size_t size) {
    const File file(std::fopen(scratch_path().c_str(), "rb"));
    ZBufHeader header{};
    const ZbufReading reading = read_zbuf_reading(file.get(), &header);
    if (!reading.accepted()) return -1;
    const uint64_t row_bytes = uint64_t{header.width} * zbuf_sample_size(header.value_type);
    const uint64_t body = size > reading.position ? size - reading.position : 0;
    return int64_t(std::min<uint64_t>(header.height, body / row_bytes));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!write_scratch(data, size)) return 0;
    const int64_t expected_rows = whole_rows(size);
    obk_oiio::ZbufInput input;
    OIIO::ImageSpec spec;
    const bool opened = input.open(scratch_path(), spec);
    input.geterror();
    if (opened != (expected_rows >= 0)) __builtin_trap();
    if (!opened) return 0;
    // A row the file cannot hold is never written into the buffer.
    std::vector<float> row(std::min<std::size_t>(std::size_t(spec.width), size));
    int rows = 0;
    while (rows < spec.height && input.read_native_scanline(0, 0, rows, 0, row.data())) ++rows;
    input.geterror();
    if (rows != expected_rows) __builtin_trap();
    if (input.reserved_bytes() > 2 * size) __builtin_trap();
    return 0;
}
