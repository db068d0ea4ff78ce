// The exported module record, the server table and the activations of the
// two handlers and two interfaces. The loader's activation is a whole load
// and lives with the loader.
#include "module/servers.h"

namespace {

void* startup() { return reinterpret_cast<void*>(uintptr_t{4}); }

void shutdown() {}

const ServerEntry server_table[] = {
    {"PixelFilterHandler", "OBK_ZComp", zcomp_activate, nullptr},
    {"PixelFilterInterface", "OBK_ZComp", zcomp_interface_activate, nullptr},
    {"ImageFilterHandler", "OBK_ZSave", zsave_activate, nullptr},
    {"ImageFilterInterface", "OBK_ZSave", zsave_interface_activate, nullptr},
    {"ImageLoader", "OBK_ZLoad", zload_activate, nullptr},
    {nullptr, nullptr, nullptr, nullptr},
};

int32_t fill_interface(int32_t version, void* local, const char* (*options)(void*)) {
    if (version != SERVER_CLASS_VERSION) return ACTIVATE_BAD_VERSION;
    auto* record = static_cast<InterfaceRecord*>(local);
    record->panel = nullptr;
    record->options = options;
    record->command = nullptr;
    return ACTIVATE_OK;
}

}  // namespace

extern "C" {

ImageListService* image_list = nullptr;

// The one export: listed in module/OBKzcomp.def for Windows, visible among
// hidden symbols elsewhere.
#if defined(_WIN32)
#define OBK_EXPORT __declspec(dllexport)
#else
#define OBK_EXPORT __attribute__((visibility("default")))
#endif

OBK_EXPORT extern const ModuleRecord _mod_descrip;
const ModuleRecord _mod_descrip = {
    MODULE_SYNC, MODULE_VERSION, MODULE_MACHINE, startup, shutdown, server_table,
};

int32_t zcomp_activate(int32_t version, HostGlobal global, void* local, void*) {
    if (version != SERVER_CLASS_VERSION) return ACTIVATE_BAD_VERSION;
    image_list = static_cast<ImageListService*>(global("LW Image List 3", 0));
    if (image_list == nullptr) return ACTIVATE_BAD_GLOBALS;

    auto* record = static_cast<PixelHandlerRecord*>(local);
    InstanceOps* ops = record->instance_ops;
    ops->host = global;
    ops->create = zcomp_create;
    ops->destroy = zcomp_destroy;
    ops->copy = zcomp_copy;
    ops->load = zcomp_load;
    ops->save = zcomp_save;
    ops->describe = zcomp_describe;
    if (RenderOps* render = record->render_ops) {
        render->init = zcomp_init;
        render->cleanup = zcomp_cleanup;
        render->new_time = zcomp_new_time;
    }
    record->evaluate = zcomp_evaluate;
    record->flags = zcomp_flags;
    return ACTIVATE_OK;
}

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

int32_t zcomp_interface_activate(int32_t version, HostGlobal, void* local, void*) {
    return fill_interface(version, local, zcomp_options);
}

int32_t zsave_interface_activate(int32_t version, HostGlobal, void* local, void*) {
    return fill_interface(version, local, zsave_options);
}

}  // extern "C"
