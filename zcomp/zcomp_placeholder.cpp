// Placeholder operations of the depth compositor until its servers are built.
#include "module/servers.h"

extern "C" {
void* zcomp_create(HostGlobal, void*, const char** error_text) {
    *error_text = "OBK_ZComp:  Couldn't allocate instance data.";
    return nullptr;
}
void zcomp_destroy(void*) {}
const char* zcomp_copy(void*, void*) { return nullptr; }
const char* zcomp_load(void*, const LoadState*) { return nullptr; }
const char* zcomp_save(void*, const SaveState*) { return nullptr; }
const char* zcomp_describe(void*) { return ""; }
const char* zcomp_init(void*, int32_t) { return nullptr; }
void zcomp_cleanup(void*) {}
const char* zcomp_new_time(void*, int32_t, double) { return nullptr; }
void zcomp_evaluate(void*, const PixelAccess*) {}
uint32_t zcomp_flags(void*) { return 1u << BUF_DEPTH; }
const char* zcomp_options(void*) { return nullptr; }
}
