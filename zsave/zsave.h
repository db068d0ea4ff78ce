// The depth saver "OBK_ZSave": an image filter that passes each rendered
// frame's colour through and writes its depth buffer to a numbered depth file.
// Its entry points, instance record, messages and shared helpers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "module/host_interface.h"
#include "zbuf/zbuf.h"

constexpr const char* ZSAVE_SERVER_NAME = "OBK_ZSave";

// Capacities of the instance's text buffers, terminator included.
constexpr std::size_t ZSAVE_NAME_CAPACITY = ZBUF_NAME_CAPACITY;
constexpr std::size_t ZSAVE_DESCRIPTION_CAPACITY = 128;

// One saver instance: a plain block, allocated zero-filled, copied byte for
// byte and freed whole. The host owns it between create and destroy.
struct ZSaveInstance {
    HostGlobal host_global;                        // the host's service lookup
    char full_name[ZSAVE_NAME_CAPACITY];           // directory + base; stored in the scene
    char directory[ZSAVE_NAME_CAPACITY];           // filled by the file requester
    char base_name[ZSAVE_NAME_CAPACITY];           // filled by the file requester; described
    char description[ZSAVE_DESCRIPTION_CAPACITY];  // what zsave_describe returns
    ZBufHeader header;                             // settings and the last frame's statistics
};

// Messages shown through "Info Messages 2" while a frame is processed.
namespace zsave_text {
constexpr const char* NO_FILENAME = "OBK_ZSave:  No filename selected.";
constexpr const char* NO_DEPTH_LINE = "OBK_ZSave:  Couldn't get depth buffer pointer.";
constexpr const char* NO_SCANLINE = "OBK_ZSave:  Couldn't allocate depth buffer scanline.";
constexpr const char* OPEN_FAILED = "OBK_ZSave:  Couldn't open output file";
constexpr const char* HEADERS_FAILED = "OBK_ZSave:  Couldn't write headers";
constexpr const char* WRITE_FAILED = "OBK_ZSave:  Error while writing";
constexpr const char* FRAME_SIZE = "OBK_ZSave:  Frame size doesn't fit a depth file";
// Returned texts, without the server prefix.
constexpr const char* NO_INSTANCE = "Couldn't allocate instance data.";
constexpr const char* NO_FILE_DIALOG = "Couldn't open the file dialog.";
}  // namespace zsave_text

// True when a frame of this size can be written as a depth file that the
// reader accepts: a width of at least 1, a height of at least 0, and sizes
// (FORM size included) within the format's signed 32-bit limits.
bool zsave_frame_storable(int32_t width, int32_t height, uint16_t value_type);

// The header as it goes into a file: the saver always writes a plain body of
// 64-bit samples for ZBUF_FLOAT64 and of 32-bit samples for any other value
// type, so the file states exactly that (compression and ordering 0).
ZBufHeader zsave_file_header(const ZBufHeader& settings);

// The header of a new instance: 32-bit samples, compression and ordering 0,
// units 2, scale 1, offset 0; sizes and statistics 0.
ZBufHeader zsave_default_header();

// A frame's depth range, taken row by row in scan order: the smallest depth,
// the largest (`background_depth`), and the largest depth that has a
// strictly greater one before it (`max_depth`). Before any depth they are
// +1e20, -1e20 and -1e20 as 32-bit floats; NaN depths take no part.
class ZSaveDepthRange {
public:
    void take_row(const float* depths, int32_t width);
    // Copies the three statistics into the header.
    void store(ZBufHeader& header) const;

private:
    void take(float depth);
    bool take_block(const float* depths);

    float min_depth_ = 1e20f;
    float max_depth_ = -1e20f;
    float background_depth_ = -1e20f;
};

// Puts one depth line into `row` as big-endian samples of `sample_size`
// bytes (8 for 64-bit samples, else 4); the line itself is left as it is.
void zsave_encode_row(const float* depths, int32_t width, uint32_t sample_size, void* row);

// Ends each of the instance's three name buffers within its capacity, in case
// a host filled one to the brim without a terminator.
void zsave_terminate_names(ZSaveInstance& instance);

// Entry points: C functions that the host reaches only through the records
// that the activations fill; none of them throws.
extern "C" {

int32_t zsave_activate(int32_t version, HostGlobal global, void* local, void* server_data);
int32_t zsave_interface_activate(int32_t version, HostGlobal global, void* local, void* server_data);

void* zsave_create(HostGlobal host, void* context, const char** error_text);
void zsave_destroy(void* instance);
const char* zsave_copy(void* destination, void* source);
const char* zsave_load(void* instance, const LoadState* state);
const char* zsave_save(void* instance, const SaveState* state);
const char* zsave_describe(void* instance);
void zsave_process(void* instance, const FilterAccess* access);
uint32_t zsave_flags(void* instance);
const char* zsave_options(void* instance);

}  // extern "C"
