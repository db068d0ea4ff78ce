#include "host/services.h"

#include <map>
#include <string>

#include "host/boundary.h"

namespace host {
namespace {

// The newest offer of each name ever offered; null once all have ended.
// Entries stay, so that the chains can hold on to their slots.
std::map<std::string, OfferedService*, std::less<>>& offers() {
    static std::map<std::string, OfferedService*, std::less<>> newest;
    return newest;
}

const OfferedService* find_newest_offer(std::string_view name) {
    const auto found = offers().find(name);
    return found == offers().end() ? nullptr : found->second;
}

OfferedService*& newest_offer_slot(std::string_view name) {
    const auto guard = lock_chains();
    return offers().try_emplace(std::string(name), nullptr).first->second;
}

}  // namespace

extern "C" void* host_global(const char* name, int32_t) noexcept {
    return guarded<void*>(nullptr, [&]() -> void* {
        if (name == nullptr) return nullptr;
        const auto guard = lock_chains();
        const OfferedService* offer = find_newest_offer(name);
        return offer ? offer->service_ : nullptr;
    });
}

OfferedService::OfferedService(std::string_view name, void* service, void* owner, const void* kind)
    : service_(service), owner_(owner), kind_(kind), link_(newest_offer_slot(name), this) {}

void* OfferedService::newest_owner(std::string_view name, const void* kind) {
    for (const OfferedService* offer = find_newest_offer(name); offer; offer = offer->link_.below()) {
        if (offer->kind_ == kind) return offer->owner_;
    }
    return nullptr;
}

}  // namespace host
