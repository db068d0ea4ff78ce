// The depth loader "OBK_ZLoad": one activation loads one depth file and
// streams it to the host as a one-channel float image, row by row.
#pragma once

#include <cstdint>
#include <cstdio>

#include "module/host_interface.h"

constexpr const char* ZLOAD_SERVER_NAME = "OBK_ZLoad";

extern "C" {

// The loader's entry point: one activation is one whole load of
// `local->filename`; the outcome goes into `local->result`, and the
// activation itself always returns ACTIVATE_OK.
int32_t zload_activate(int32_t version, HostGlobal global, void* local, void* server_data);

// Streams the body of an accepted depth file to the host and leaves the
// outcome in `local->result`. `stream` stands at the first body byte; width,
// height and value type come from its header. Sizes that do not fit the
// format's 32-bit arithmetic are refused before anything is allocated. The
// one row buffer is allocated only once the stream has shown that it holds
// row 0 (looking ahead where the stream can be moved, else reading into a
// buffer that grows with what arrives); a body too short for a row gets the
// host's calls without rows and finish with STATUS_FAILED.
void zload_send_image(LoaderLocal* local, std::FILE* stream, int32_t width, int32_t height,
                      uint16_t value_type);

}  // extern "C"
