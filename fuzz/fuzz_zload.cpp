// Fuzz target: one whole "OBK_ZLoad" load through the host's image loader on
// arbitrary file content. Any outcome is a status; what the loader allocates
// and what the host holds afterwards must stay bounded by the file's size.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/scratch_file.h"

#include "host/image_loader.h"
#include "host/services.h"
#include "module/memory.h"
#include "zload/zload.h"

namespace {

bool known_status(int32_t status) {
    return status == STATUS_OK || status == STATUS_NOT_RECOGNISED || status == STATUS_BAD_FILE ||
           status == STATUS_FAILED;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!write_scratch(data, size)) return 0;
    host::ImageLoader loader(scratch_path());
    obk_take_largest_allocation();
    if (zload_activate(SERVER_CLASS_VERSION, host::host_global, loader.local(), nullptr) != ACTIVATE_OK) {
        __builtin_trap();
    }
    // The loader's one row buffer comes only once the file has shown that it
    // holds a whole row.
    if (obk_take_largest_allocation() > size) __builtin_trap();
    // Pixel storage grows only with rows that arrived, and every row came
    // out of the file: never more than twice the file (vector growth).
    if (loader.reserved_bytes() > 2 * size) __builtin_trap();
    const host::ImageLoad load = loader.result();
    if (!known_status(load.status)) __builtin_trap();
    if (load.rows_received > load.rows_announced) __builtin_trap();
    if (load.status == STATUS_OK) {
        // A complete image: every announced row arrived and the file held them.
        if (!load.image || load.rows_received != load.rows_announced) __builtin_trap();
        const uint64_t samples = uint64_t(load.image->width) * uint64_t(load.image->height);
        if (load.image->pixels.size() != samples || samples * 4 + 64 > size) __builtin_trap();
    }
    return 0;
}
