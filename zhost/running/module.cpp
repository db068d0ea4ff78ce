#include "zhost/running/module.h"

namespace zhost {

std::unique_ptr<host::Module> open_module(const std::string& path) { return host::Module::open(path); }

std::string default_module_path() { return host::default_module_path(); }

std::vector<std::pair<std::string, std::string>> module_servers(const host::Module& module) {
    std::vector<std::pair<std::string, std::string>> servers;
    for (const host::ServerInfo& server : module.servers()) servers.emplace_back(server.class_name, server.server_name);
    return servers;
}

}  // namespace zhost
