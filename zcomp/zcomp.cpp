// The compositor's instance operations (create, destroy, copy, load, save,
// describe), its render operations (init, cleanup, new_time) and flags.
#include "zcomp/zcomp.h"

#include <cstdio>
#include <cstring>

#include "module/memory.h"

namespace {

const char* const NO_INSTANCE_MEMORY = "OBK_ZComp:  Couldn't allocate instance data.";
const char* const NO_DEPTH_IMAGE = "OBK_ZComp:  No depth buffer file specified.";
const char* const NO_COMP_IMAGE = "OBK_ZComp:  No image to composite.";
const char* const NO_IMAGE_LIST = "OBK_ZComp:  Couldn't get the image list.";

ZCompInstance& as_instance(void* instance) { return *static_cast<ZCompInstance*>(instance); }

// The name shown for an image: "(none)" when no image is chosen, and
// "(unknown)" when the host cannot name it (no image list, no name).
const char* image_label(ImageId image, const ImageListService* list) {
    if (image == nullptr) return "(none)";
    const char* name = list ? list->image_name(image) : nullptr;
    return name ? name : "(unknown)";
}

bool is_utf8_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Bytes of the UTF-8 sequence that `lead` starts (1 for anything else).
std::size_t utf8_sequence_length(unsigned char lead) {
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 1;
}

// Drops a UTF-8 sequence that a cut left incomplete at the end of `text`.
void drop_partial_utf8_tail(char* text) {
    std::size_t length = std::strlen(text);
    std::size_t start = length;
    while (start > 0 && length - start < 4 && is_utf8_continuation(static_cast<unsigned char>(text[start - 1]))) {
        --start;
    }
    if (start == 0) return;
    const std::size_t lead = start - 1;
    if (utf8_sequence_length(static_cast<unsigned char>(text[lead])) > length - lead) text[lead] = '\0';
}

// Image size / frame size in double, stored as float. A frame size of 0 has
// no pixel to map; its factor is 0 rather than an infinity.
float scale_factor(int32_t image_size, int32_t frame_size) {
    if (frame_size == 0) return 0.0f;
    return static_cast<float>(static_cast<double>(image_size) / static_cast<double>(frame_size));
}

// Sets an image's flag and, when it differs from the frame size, its factors.
void fit_to_frame(ImageId image, const ImageListService& list, const SceneInfoService& scene,
                  int32_t& scaled, float& scale_x, float& scale_y) {
    int32_t width = 0;
    int32_t height = 0;
    list.image_size(image, &width, &height);
    if (width == scene.frame_width && height == scene.frame_height) {
        scaled = 0;
        return;
    }
    scaled = 1;
    scale_x = scale_factor(width, scene.frame_width);
    scale_y = scale_factor(height, scene.frame_height);
}

}  // namespace

void* zcomp_service(const ZCompInstance& instance, const char* name) {
    return instance.host_global ? instance.host_global(name, 0) : nullptr;
}

extern "C" {

void* zcomp_create(HostGlobal host, void*, const char** error_text) {
    auto* instance = static_cast<ZCompInstance*>(obk_alloc_zeroed(sizeof(ZCompInstance)));
    if (instance == nullptr) {
        if (error_text) *error_text = NO_INSTANCE_MEMORY;
        return nullptr;
    }
    instance->host_global = host;
    return instance;
}

void zcomp_destroy(void* instance) { obk_free(instance); }

const char* zcomp_copy(void* destination, void* source) {
    if (destination != nullptr && source != nullptr && destination != source) {
        std::memcpy(destination, source, sizeof(ZCompInstance));
    }
    return nullptr;
}

const char* zcomp_load(void* instance, const LoadState* state) {
    ZCompInstance& z = as_instance(instance);
    if (const ImageListService* list = current_image_list()) {
        z.depth_image = list->load_image_ref(state);
        z.comp_image = list->load_image_ref(state);
    }
    return nullptr;
}

const char* zcomp_save(void* instance, const SaveState* state) {
    const ZCompInstance& z = as_instance(instance);
    const ImageListService* list = current_image_list();
    if (list && z.depth_image && z.comp_image) {
        list->save_image_ref(state, z.depth_image);
        list->save_image_ref(state, z.comp_image);
    }
    return nullptr;
}

const char* zcomp_describe(void* instance) {
    ZCompInstance& z = as_instance(instance);
    const ImageListService* list = current_image_list();
    const char* comp_name = image_label(z.comp_image, list);
    const char* depth_name = image_label(z.depth_image, list);
    const int written = std::snprintf(z.description, sizeof z.description, "OBK_ZComp:  %s, %s", depth_name, comp_name);
    if (written < 0) {
        z.description[0] = '\0';
    } else if (static_cast<std::size_t>(written) >= sizeof z.description) {
        drop_partial_utf8_tail(z.description);
    }
    return z.description;
}

const char* zcomp_init(void* instance, int32_t) {
    ZCompInstance& z = as_instance(instance);
    if (z.depth_image == nullptr) return NO_DEPTH_IMAGE;
    if (z.comp_image == nullptr) return NO_COMP_IMAGE;
    const ImageListService* list = current_image_list();
    if (list == nullptr) return NO_IMAGE_LIST;
    const auto* scene = static_cast<const SceneInfoService*>(zcomp_service(z, SERVICE_SCENE_INFO));
    if (scene == nullptr) return nullptr;
    fit_to_frame(z.depth_image, *list, *scene, z.depth_scaled, z.depth_scale_x, z.depth_scale_y);
    fit_to_frame(z.comp_image, *list, *scene, z.comp_scaled, z.comp_scale_x, z.comp_scale_y);
    return nullptr;
}

void zcomp_cleanup(void*) {}

const char* zcomp_new_time(void*, int32_t, double) { return nullptr; }

uint32_t zcomp_flags(void*) { return 1u << BUF_DEPTH; }

}  // extern "C"
