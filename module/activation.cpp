#include "module/activation.h"

void fill_instance_ops(InstanceOps* ops, HostGlobal global, const InstanceOps& server_ops) {
    *ops = server_ops;
    ops->host = global;
}

int32_t fill_interface_record(int32_t version, void* local, const char* (*options)(void* instance)) {
    if (version != SERVER_CLASS_VERSION) return ACTIVATE_BAD_VERSION;
    auto* record = static_cast<InterfaceRecord*>(local);
    record->panel = nullptr;
    record->options = options;
    record->command = nullptr;
    return ACTIVATE_OK;
}
