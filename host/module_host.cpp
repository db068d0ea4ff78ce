#include "host/module_host.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "host/boundary.h"
#include "host/platform.h"
#include "host/services.h"

namespace host {
namespace {

// Bound on the rows walked in a server table, so that a record without its
// terminating row cannot run the host off into unrelated memory for long.
constexpr int MAX_SERVERS = 256;

bool same(const char* text, std::string_view expected) {
    return text != nullptr && std::string_view(text) == expected;
}

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

void check_record(const std::string& path, const ModuleRecord& record) {
    if (record.sync != MODULE_SYNC) {
        throw HostError(path + ": not a plug-in module (sync word " + hex(record.sync) + ")");
    }
    if (record.version != MODULE_VERSION) {
        throw HostError(path + ": unsupported module version " + std::to_string(record.version));
    }
    if (record.machine != MODULE_MACHINE) {
        throw HostError(path + ": module built for machine " + hex(record.machine));
    }
    if (record.servers == nullptr) throw HostError(path + ": module has no server table");
}

}  // namespace

Module::Module(std::string path, void* handle, const ModuleRecord* record)
    : path_(std::move(path)), handle_(handle), record_(record) {}

std::unique_ptr<Module> Module::open(const std::string& path) {
    std::error_code error;
    const auto status = std::filesystem::status(platform::native_path(path), error);
    if (!std::filesystem::exists(status)) throw HostError(path + ": no such module file");
    if (!std::filesystem::is_regular_file(status)) throw HostError(path + ": not a regular file");

    std::string reason;
    void* handle = platform::load_library(path, reason);
    if (handle == nullptr) throw HostError(path + ": cannot load module: " + reason);
    const auto* record = static_cast<const ModuleRecord*>(platform::find_symbol(handle, "_mod_descrip"));
    try {
        if (record == nullptr) throw HostError(path + ": no _mod_descrip in the module");
        check_record(path, *record);
    } catch (...) {
        platform::unload_library(handle);
        throw;
    }
    std::unique_ptr<Module> module(new Module(path, handle, record));
    record->startup();
    return module;
}

Module::~Module() {
    record_->shutdown();
    platform::unload_library(handle_);
}

std::vector<ServerInfo> Module::servers() const {
    std::vector<ServerInfo> list;
    for (int row = 0; row < MAX_SERVERS; ++row) {
        const ServerEntry& entry = record_->servers[row];
        if (entry.class_name == nullptr || entry.server_name == nullptr) break;
        list.push_back({entry.class_name, entry.server_name});
    }
    return list;
}

const ServerEntry* Module::find(std::string_view class_name, std::string_view server_name) const {
    for (int row = 0; row < MAX_SERVERS; ++row) {
        const ServerEntry& entry = record_->servers[row];
        if (entry.class_name == nullptr || entry.server_name == nullptr) break;
        if (same(entry.class_name, class_name) && same(entry.server_name, server_name)) {
            return entry.activate != nullptr ? &entry : nullptr;
        }
    }
    return nullptr;
}

int32_t Module::activate(std::string_view class_name, std::string_view server_name, void* local,
                         int32_t version) const {
    const ServerEntry* entry = find(class_name, server_name);
    if (entry == nullptr) {
        throw HostError(path_ + ": no server \"" + std::string(server_name) + "\" of class " +
                        std::string(class_name));
    }
    return call_module(entry->activate, version, host_global, local, nullptr);
}

std::string default_module_path() {
    if (const char* configured = std::getenv("ZHOST_MODULE"); configured && *configured) {
        return configured;
    }
    const std::filesystem::path program = platform::program_path();
    if (program.empty()) return "OBKzcomp.p";
    return platform::narrow_name(program.parent_path() / "OBKzcomp.p");
}

}  // namespace host
