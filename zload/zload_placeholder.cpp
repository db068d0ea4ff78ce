// Placeholder activation of the depth loader until it is built.
#include "module/servers.h"

extern "C" int32_t zload_activate(int32_t, HostGlobal, void* local, void*) {
    static_cast<LoaderLocal*>(local)->result = STATUS_FAILED;
    return ACTIVATE_OK;
}
