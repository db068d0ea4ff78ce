// The saver's activations: the handler fills the instance and per-frame
// operations and clears the item operations; the interface gives the
// options request. Neither looks up a service.
#include "module/activation.h"
#include "zsave/zsave.h"

namespace {

const InstanceOps INSTANCE_OPS = {
    nullptr, zsave_create, zsave_destroy, zsave_copy, zsave_load, zsave_save, zsave_describe,
};

}  // namespace

extern "C" {

int32_t zsave_activate(int32_t version, HostGlobal global, void* local, void*) {
    if (version != SERVER_CLASS_VERSION) return ACTIVATE_BAD_VERSION;
    auto* record = static_cast<ImageHandlerRecord*>(local);
    fill_instance_ops(record->instance_ops, global, INSTANCE_OPS);
    if (ItemOps* items = record->item_ops) {
        items->item_slot_0 = nullptr;
        items->item_slot_1 = nullptr;
    }
    record->process = zsave_process;
    record->flags = zsave_flags;
    return ACTIVATE_OK;
}

int32_t zsave_interface_activate(int32_t version, HostGlobal, void* local, void*) {
    return fill_interface_record(version, local, zsave_options);
}

}  // extern "C"
