// Per-pixel depth compositing: where the depth image is nearer than the
// rendered surface, the pixel takes the composite image's colour and the
// depth image's depth.
#include "module/saturate.h"
#include "zcomp/zcomp.h"

namespace {

struct ImagePosition {
    int32_t x;
    int32_t y;
};

// Frame position to image position: scaled by the image's factors when its
// flag is set, plus 0.5, truncated toward zero.
// Inlined: it runs twice per pixel, and a call would cost more than its body.
[[gnu::always_inline]] inline ImagePosition map_to_image(const PixelAccess& access, int32_t scaled, float scale_x, float scale_y) {
    if (scaled != 0) {
        return {saturate_to_int32(access.pixel_x * static_cast<double>(scale_x) + 0.5),
                saturate_to_int32(access.pixel_y * static_cast<double>(scale_y) + 0.5)};
    }
    return {saturate_to_int32(access.pixel_x + 0.5), saturate_to_int32(access.pixel_y + 0.5)};
}

}  // namespace

extern "C" void zcomp_evaluate(void* instance, const PixelAccess* access) {
    const ZCompInstance& z = *static_cast<const ZCompInstance*>(instance);
    float colour[4];
    float depth;
    access->get_values(BUF_RED, 4, colour);
    access->get_values(BUF_DEPTH, 1, &depth);

    // Without an image list (a later activation failed) the pixel stays as rendered.
    if (const ImageListService* list = current_image_list()) {
        const ImagePosition in_depth = map_to_image(*access, z.depth_scaled, z.depth_scale_x, z.depth_scale_y);
        const float sample = list->image_value(z.depth_image, in_depth.x, in_depth.y);
        // Written as a negation so that a NaN on either side composites.
        if (!(sample >= depth)) {
            const ImagePosition in_comp = map_to_image(*access, z.comp_scaled, z.comp_scale_x, z.comp_scale_y);
            list->image_rgb(z.comp_image, in_comp.x, in_comp.y, colour);
            depth = sample;
        }
    }
    access->set_rgba(colour);
    access->set_values(BUF_DEPTH, 1, &depth);
}
