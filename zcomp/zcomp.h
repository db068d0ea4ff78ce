// The depth compositor "OBK_ZComp": its entry points, its instance record and
// the helpers that its instance, render, per-pixel and panel operations share.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "module/host_interface.h"

constexpr const char* ZCOMP_SERVER_NAME = "OBK_ZComp";

// Capacity of the instance's description, terminator included.
constexpr std::size_t ZCOMP_DESCRIPTION_CAPACITY = 260;

// One compositor instance: a plain record, allocated zero-filled, copied
// byte for byte and freed whole.
struct ZCompInstance {
    HostGlobal host_global;       // the host's service lookup given to create
    ImageId depth_image;          // "Z-Buffer"; null when none is chosen
    int32_t depth_scaled;         // 1 when the depth image differs from the frame size
    float depth_scale_x;          // image width / frame width, set with depth_scaled
    float depth_scale_y;          // image height / frame height, set with depth_scaled
    ImageId comp_image;           // "Comp Image"; null when none is chosen
    int32_t comp_scaled;
    float comp_scale_x;
    float comp_scale_y;
    char description[ZCOMP_DESCRIPTION_CAPACITY];
};

// The host service `name` through the instance's lookup, or null when the
// host does not offer it (or the instance holds no lookup).
void* zcomp_service(const ZCompInstance& instance, const char* name);

// The image list found by the handler's last activation with version 4;
// null before it and after a failed lookup. Written only by zcomp_activate;
// the module's only mutable module-wide value. A host may activate the
// handler while render threads evaluate, so it is atomic; relaxed, since
// only the pointer itself is shared (the record it points to is the host's
// and stays valid as long as compositor instances exist), and a relaxed load
// is a plain load on the processors the module is built for.
extern std::atomic<ImageListService*> image_list;

inline const ImageListService* current_image_list() { return image_list.load(std::memory_order_relaxed); }

// Entry points: C functions that the host reaches only through the records
// that the activations fill; none of them throws.
extern "C" {

int32_t zcomp_activate(int32_t version, HostGlobal global, void* local, void* server_data);
int32_t zcomp_interface_activate(int32_t version, HostGlobal global, void* local, void* server_data);

void* zcomp_create(HostGlobal host, void* context, const char** error_text);
void zcomp_destroy(void* instance);
const char* zcomp_copy(void* destination, void* source);
const char* zcomp_load(void* instance, const LoadState* state);
const char* zcomp_save(void* instance, const SaveState* state);
const char* zcomp_describe(void* instance);
const char* zcomp_init(void* instance, int32_t mode);
void zcomp_cleanup(void* instance);
const char* zcomp_new_time(void* instance, int32_t frame, double time);
void zcomp_evaluate(void* instance, const PixelAccess* access);
uint32_t zcomp_flags(void* instance);
const char* zcomp_options(void* instance);

}  // extern "C"
