// What the servers' activations share.
#pragma once

#include "module/host_interface.h"

// Fills the host's instance-operations table with a server's operations
// (`server_ops`, whose host pointer is not read) and the activation's lookup
// as its host pointer.
void fill_instance_ops(InstanceOps* ops, HostGlobal global, const InstanceOps& server_ops);

// An interface activation: for SERVER_CLASS_VERSION, sets the record's panel
// and command to null and its options to `options`, leaving the instance
// alone; any other version yields ACTIVATE_BAD_VERSION and changes nothing.
int32_t fill_interface_record(int32_t version, void* local, const char* (*options)(void* instance));
