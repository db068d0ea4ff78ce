// Loads a plug-in module file, checks its module record and activates its
// servers by class and name.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/error.h"
#include "module/host_interface.h"

namespace host {

struct ServerInfo {
    std::string class_name;
    std::string server_name;
};

class Module {
public:
    // Loads the module file and calls its startup. Throws HostError with a
    // one-line reason for a missing file, a file that is no shared library,
    // a missing `_mod_descrip` or a record with the wrong sync word, version
    // or machine word.
    static std::unique_ptr<Module> open(const std::string& path);

    // Calls shutdown and unloads the library.
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    const std::string& path() const { return path_; }
    const ModuleRecord& record() const { return *record_; }
    std::vector<ServerInfo> servers() const;
    const ServerEntry* find(std::string_view class_name, std::string_view server_name) const;

    // Activates a server with the host's service lookup and a host-owned
    // record. Throws HostError when the module has no such server.
    int32_t activate(std::string_view class_name, std::string_view server_name, void* local,
                     int32_t version = SERVER_CLASS_VERSION) const;

private:
    Module(std::string path, void* handle, const ModuleRecord* record);

    std::string path_;
    void* handle_;
    const ModuleRecord* record_;
};

// The module file beside the running program, or the one named by the
// ZHOST_MODULE variable when it is set.
std::string default_module_path();

}  // namespace host
