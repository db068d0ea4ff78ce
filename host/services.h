// The host's global services, offered by name to the module's HostGlobal.
#pragma once

#include <cstdint>
#include <string_view>

#include "host/newest.h"

namespace host {

// The host's HostGlobal: the service offered last under `name`, or null.
extern "C" void* host_global(const char* name, int32_t flags) noexcept;

// Offers `service` under `name` while it lives (null withdraws the name); the
// offer made before it under that name answers again when it ends. The
// offers of a name form one chain (newest.h).
class OfferedService {
public:
    OfferedService(std::string_view name, void* service) : OfferedService(name, service, nullptr, nullptr) {}

protected:
    // An offer whose operations `owner` answers; `kind` tells owners of
    // different types apart.
    OfferedService(std::string_view name, void* service, void* owner, const void* kind);

    // The owner of the newest offer of `name` by an owner of `kind`, or
    // null. Call with the chains locked.
    static void* newest_owner(std::string_view name, const void* kind);

private:
    friend void* host_global(const char*, int32_t) noexcept;

    void* service_;
    void* owner_;
    const void* kind_;
    Newest<OfferedService> link_;
};

// An offer by an `Owner`: the service's operations carry no context, so
// they find the owner of the newest such offer through with_newest. Owners
// of one name end in the reverse order of their making.
template <typename Owner>
class ServiceOwner : public OfferedService {
public:
    ServiceOwner(std::string_view name, const void* service, Owner* owner)
        : OfferedService(name, const_cast<void*>(service), owner, &KIND) {}

    // Calls answer(owner) with the newest owner offering `name`, or null,
    // with the chains locked: the owner cannot end meanwhile.
    template <typename Answer>
    static decltype(auto) with_newest(std::string_view name, Answer&& answer) {
        const auto guard = lock_chains();
        return answer(static_cast<Owner*>(newest_owner(name, &KIND)));
    }

private:
    static constexpr char KIND = 0;
};

}  // namespace host
