// The compositor's activations: the handler keeps the host's image list and
// fills the instance, render and per-pixel operations; the interface gives
// the panel.
#include "module/activation.h"
#include "zcomp/zcomp.h"

namespace {

const InstanceOps INSTANCE_OPS = {
    nullptr, zcomp_create, zcomp_destroy, zcomp_copy, zcomp_load, zcomp_save, zcomp_describe,
};

}  // namespace

std::atomic<ImageListService*> image_list{nullptr};

extern "C" {

int32_t zcomp_activate(int32_t version, HostGlobal global, void* local, void*) {
    if (version != SERVER_CLASS_VERSION) return ACTIVATE_BAD_VERSION;
    auto* list = static_cast<ImageListService*>(global(SERVICE_IMAGE_LIST, 0));
    image_list.store(list, std::memory_order_relaxed);
    if (list == nullptr) return ACTIVATE_BAD_GLOBALS;

    auto* record = static_cast<PixelHandlerRecord*>(local);
    fill_instance_ops(record->instance_ops, global, INSTANCE_OPS);
    if (RenderOps* render = record->render_ops) {
        render->init = zcomp_init;
        render->cleanup = zcomp_cleanup;
        render->new_time = zcomp_new_time;
    }
    record->evaluate = zcomp_evaluate;
    record->flags = zcomp_flags;
    return ACTIVATE_OK;
}

int32_t zcomp_interface_activate(int32_t version, HostGlobal, void* local, void*) {
    return fill_interface_record(version, local, zcomp_options);
}

}  // extern "C"
