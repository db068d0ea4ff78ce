#include "host/services.h"

#include <map>
#include <mutex>

namespace host {
namespace {

struct Registry {
    std::mutex lock;
    std::map<std::string, void*, std::less<>> services;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

void* exchange(const std::string& name, void* service) {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    void*& slot = r.services[name];
    void* previous = slot;
    slot = service;
    if (service == nullptr) r.services.erase(name);
    return previous;
}

}  // namespace

extern "C" void* host_global(const char* name, int32_t) {
    if (name == nullptr) return nullptr;
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    const auto found = r.services.find(std::string_view(name));
    return found == r.services.end() ? nullptr : found->second;
}

OfferedService::OfferedService(std::string name, void* service)
    : name_(std::move(name)), previous_(exchange(name_, service)) {}

OfferedService::~OfferedService() { exchange(name_, previous_); }

}  // namespace host
