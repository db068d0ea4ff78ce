// Fuzz target: the depth file header reader on arbitrary bytes.
#include <cstdint>
#include <cstdio>

#include "zbuf/zbuf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::FILE* stream = std::tmpfile();
    if (stream == nullptr) return 0;
    if (size > 0 && std::fwrite(data, 1, size, stream) != size) {
        std::fclose(stream);
        return 0;
    }
    std::rewind(stream);
    ZBufHeader header{};
    const ZbufReading reading = read_zbuf_reading(stream, &header);
    if (reading.accepted()) {
        // An accepted header must describe a body that fits the format's sizes
        // and leave the stream at the first body byte, within the file's FORM,
        // where the reading says the body starts.
        if (!zbuf_sizes_valid(header.width, header.height, header.value_type) || header.width == 0) {
            __builtin_trap();
        }
        if (std::ftell(stream) < 20 || uint64_t(std::ftell(stream)) != reading.position) __builtin_trap();
    }
    std::fclose(stream);
    return 0;
}
