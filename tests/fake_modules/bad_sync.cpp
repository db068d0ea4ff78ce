// A module record whose sync word is wrong.
#include "module/host_interface.h"

static const ServerEntry no_servers[] = {{nullptr, nullptr, nullptr, nullptr}};
extern "C" const ModuleRecord _mod_descrip = {0x12345678, MODULE_VERSION, MODULE_MACHINE,
                                              nullptr, nullptr, no_servers};
