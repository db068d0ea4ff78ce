// The host's global services, offered by name to the module's HostGlobal.
#pragma once

#include <cstdint>
#include <string>

namespace host {

// The host's HostGlobal: the service offered under `name`, or null.
extern "C" void* host_global(const char* name, int32_t flags);

// Offers `service` under `name` for as long as the object lives; the name's
// previous service (or none) comes back when it is destroyed.
class OfferedService {
public:
    OfferedService(std::string name, void* service);
    ~OfferedService();
    OfferedService(const OfferedService&) = delete;
    OfferedService& operator=(const OfferedService&) = delete;

private:
    std::string name_;
    void* previous_;
};

}  // namespace host
