// `zhost servers`: the module's server table.
#include <cstdio>

#include "host/module_host.h"
#include "zhost/commands.h"

namespace zhost {

int run_servers(const GlobalOptions& global) {
    const auto module = host::Module::open(global.module_path);
    std::printf("%s\n", module->path().c_str());
    for (const host::ServerInfo& server : module->servers()) {
        std::printf("  %-22s %s\n", server.class_name.c_str(), server.server_name.c_str());
    }
    return 0;
}

}  // namespace zhost
