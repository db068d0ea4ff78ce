// The saver's activations: the handler fills the instance and per-frame
// operations and clears the item operations; the interface gives the
// options request. Neither looks up a service.
#include "module/activation.h"
#include "zsave/zsave.h"

extern "C" {

int32_t zsave_activate(int32_t version, HostGlobal global, void* local, void*) {
    if (version != SERVER_CLASS_VERSION) return ACTIVATE_BAD_VERSION;
    auto* record = static_cast<ImageHandlerRecord*>(local);
    InstanceOps* ops = record->instance_ops;
    ops->host = global;
    ops->create = zsave_create;
    ops->destroy = zsave_destroy;
    ops->copy = zsave_copy;
    ops->load = zsave_load;
    ops->save = zsave_save;
    ops->describe = zsave_describe;
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
