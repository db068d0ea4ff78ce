// What the servers' activations share.
#pragma once

#include "module/host_interface.h"

// An interface activation: for SERVER_CLASS_VERSION, sets the record's panel
// and command to null and its options to `options`, leaving the instance
// alone; any other version yields ACTIVATE_BAD_VERSION and changes nothing.
int32_t fill_interface_record(int32_t version, void* local, const char* (*options)(void* instance));
