// The demo's procedural renderer: two layers of an animated scene of shaded
// spheres and boxes, ray traced analytically, each with true per-pixel depth.
// The first layer stands on a ground plane; the second holds other objects
// that pass through those of the first, so that each layer is nearer than the
// other somewhere.
#pragma once

#include <cstdint>

#include "host/image.h"

namespace zhost {

// Depth of pixels that show no object (alpha 0): far beyond every object.
constexpr float DEMO_BACKGROUND_DEPTH = 10000.0f;

// Ground plane radius; beyond it lies background.
constexpr float DEMO_GROUND_RADIUS = 12.0f;

enum class DemoLayer { FIRST, SECOND };

struct RenderedLayer {
    host::Image rgba;   // 4 channels, linear colour, alpha 1 on objects and ground
    host::Image depth;  // 1 channel, camera-space depth (distance along the view axis)
};

struct DemoFrame {
    int32_t index = 0;  // 0 .. count - 1
    int32_t count = 1;  // frames in one loop of the animation
};

// Renders one layer of frame `frame` at width x height, on up to `threads`
// threads (0: as many as the machine has). The result does not depend on the
// number of threads.
RenderedLayer render_demo_layer(DemoLayer layer, DemoFrame frame, int32_t width, int32_t height,
                                int threads = 0);

}  // namespace zhost
