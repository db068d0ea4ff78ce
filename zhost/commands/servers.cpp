// `zhost servers`: the module's server table.
#include <cstdio>

#include "zhost/commands/commands.h"
#include "zhost/running/module.h"

namespace zhost {

int run_servers(Context& context) {
    const auto module = open_module(context.global.module_path);
    std::printf("%s\n", module->path().c_str());
    for (const auto& [class_name, server_name] : module_servers(*module)) {
        std::printf("  %-22s %s\n", class_name.c_str(), server_name.c_str());
    }
    return 0;
}

}  // namespace zhost
