// Placeholder operations of the depth saver until its servers are built.
#include "module/servers.h"

extern "C" {
void* zsave_create(HostGlobal, void*, const char** error_text) {
    *error_text = "Couldn't allocate instance data.";
    return nullptr;
}
void zsave_destroy(void*) {}
const char* zsave_copy(void*, void*) { return nullptr; }
const char* zsave_load(void*, const LoadState*) { return nullptr; }
const char* zsave_save(void*, const SaveState*) { return nullptr; }
const char* zsave_describe(void*) { return ""; }
void zsave_process(void*, const FilterAccess*) {}
uint32_t zsave_flags(void*) { return 1u << BUF_DEPTH; }
const char* zsave_options(void*) { return nullptr; }
}
