// Entry points of the module's servers. Every one is a C function that the
// host reaches only through the records that an activation fills; none of
// them throws.
#pragma once

#include "module/host_interface.h"

extern "C" {

// The image list found by the compositor's last activation with version 4;
// null before it and after a failed lookup. Written only by zcomp_activate.
extern ImageListService* image_list;

int32_t zcomp_activate(int32_t version, HostGlobal global, void* local, void* server_data);
int32_t zcomp_interface_activate(int32_t version, HostGlobal global, void* local, void* server_data);
int32_t zsave_activate(int32_t version, HostGlobal global, void* local, void* server_data);
int32_t zsave_interface_activate(int32_t version, HostGlobal global, void* local, void* server_data);
int32_t zload_activate(int32_t version, HostGlobal global, void* local, void* server_data);

// "OBK_ZComp" pixel filter.
void* zcomp_create(HostGlobal host, void* context, const char** error_text);
void zcomp_destroy(void* instance);
const char* zcomp_copy(void* destination, void* source);
const char* zcomp_load(void* instance, const LoadState* state);
const char* zcomp_save(void* instance, const SaveState* state);
const char* zcomp_describe(void* instance);
const char* zcomp_init(void* instance, int32_t mode);
void zcomp_cleanup(void* instance);
const char* zcomp_new_time(void* instance, int32_t frame, double time);
void zcomp_evaluate(void* instance, const PixelAccess* access);
uint32_t zcomp_flags(void* instance);
const char* zcomp_options(void* instance);

// "OBK_ZSave" image filter.
void* zsave_create(HostGlobal host, void* context, const char** error_text);
void zsave_destroy(void* instance);
const char* zsave_copy(void* destination, void* source);
const char* zsave_load(void* instance, const LoadState* state);
const char* zsave_save(void* instance, const SaveState* state);
const char* zsave_describe(void* instance);
void zsave_process(void* instance, const FilterAccess* access);
uint32_t zsave_flags(void* instance);
const char* zsave_options(void* instance);

}  // extern "C"
