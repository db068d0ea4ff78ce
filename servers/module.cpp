// The exported module record and its server table, above the servers it
// lists. Each server's activation lives with the server.
#include "module/host_interface.h"
#include "zcomp/zcomp.h"
#include "zload/zload.h"
#include "zsave/zsave.h"

namespace {

void* startup() { return reinterpret_cast<void*>(uintptr_t{4}); }

void shutdown() {}

const ServerEntry server_table[] = {
    {CLASS_PIXEL_FILTER_HANDLER, ZCOMP_SERVER_NAME, zcomp_activate, nullptr},
    {CLASS_PIXEL_FILTER_INTERFACE, ZCOMP_SERVER_NAME, zcomp_interface_activate, nullptr},
    {CLASS_IMAGE_FILTER_HANDLER, ZSAVE_SERVER_NAME, zsave_activate, nullptr},
    {CLASS_IMAGE_FILTER_INTERFACE, ZSAVE_SERVER_NAME, zsave_interface_activate, nullptr},
    {CLASS_IMAGE_LOADER, ZLOAD_SERVER_NAME, zload_activate, nullptr},
    {nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

extern "C" {

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

}  // extern "C"
