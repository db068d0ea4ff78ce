// zhost: the command-line host of the OBKzcomp depth-buffer module.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>

#include "host/module_host.h"

namespace {

int list_servers(const std::string& module_path) {
    const auto module = host::Module::open(module_path);
    std::printf("%s\n", module->path().c_str());
    for (const host::ServerInfo& server : module->servers()) {
        std::printf("  %-22s %s\n", server.class_name.c_str(), server.server_name.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"zhost: save, inspect, load and composite depth buffers with the OBKzcomp module"};
    app.require_subcommand(1);
    std::string module_path = host::default_module_path();
    app.add_option("--module", module_path, "Plug-in module file (default: beside zhost, or $ZHOST_MODULE)");

    CLI::App* servers = app.add_subcommand("servers", "List the module's servers");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? 0 : 2;
    }
    try {
        if (servers->parsed()) return list_servers(module_path);
    } catch (const host::HostError& error) {
        std::fprintf(stderr, "zhost: %s\n", error.what());
        return 1;
    }
    return 0;
}
