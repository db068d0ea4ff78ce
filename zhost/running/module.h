// The module as zhost's commands open it. The commands hold it and hand it
// to what runs its servers (render sessions, the depth loader); only this
// folder loads and drives it.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/module_host.h"

namespace zhost {

// Loads the module file; throws host::HostError with a one-line reason.
std::unique_ptr<host::Module> open_module(const std::string& path);

// The module beside zhost, or the one named by ZHOST_MODULE.
std::string default_module_path();

// The module's servers: (class, name) in the order of its table.
std::vector<std::pair<std::string, std::string>> module_servers(const host::Module& module);

}  // namespace zhost
