// The depth compositor "OBK_ZComp": its instance record and the helpers that
// its instance, render, per-pixel and panel operations share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "module/host_interface.h"

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
