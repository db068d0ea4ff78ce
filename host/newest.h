// "The newest answers": services whose operations carry no context (the
// message service, the file requester, the panels, the image list's scene
// references, a filter's frame) reach the object that answers through the
// newest link of a chain. A link is the newest from its making until it
// ends; the link before it is the newest again then.
#pragma once

#include <mutex>

namespace host {

// How a chain is guarded. ALL_THREADS: one chain for the program; links are
// made and end, and answer (ServiceOwner::with_newest), under one lock for
// the whole host, so that no link ends while it answers. THIS_THREAD: one
// chain per thread, which only that thread touches; no lock.
enum class Reach { ALL_THREADS, THIS_THREAD };

// The lock of every ALL_THREADS chain. Nothing done under it may make, end
// or look up a service.
std::unique_lock<std::mutex> lock_chains();

// Links end in the reverse order of their making. Ending any other link
// would leave an ended one in the chain, so it stops the program.
[[noreturn]] void link_ended_out_of_order();

// A member of `Link` that makes `link` the newest of the chain whose newest
// link `newest` holds, and puts the one before it back when it ends. Declare
// it last in `Link`, so that the link is whole while it is in the chain.
template <typename Link, Reach reach = Reach::ALL_THREADS>
class Newest {
public:
    Newest(Link*& newest, Link* link) : newest_(newest), link_(link) {
        [[maybe_unused]] const auto guard = lock();
        below_ = newest_;
        newest_ = link_;
    }
    ~Newest() {
        [[maybe_unused]] const auto guard = lock();
        if (newest_ != link_) link_ended_out_of_order();
        newest_ = below_;
    }
    Newest(const Newest&) = delete;
    Newest& operator=(const Newest&) = delete;

    // The link that was the newest before this one, or null.
    Link* below() const { return below_; }

private:
    static auto lock() {
        if constexpr (reach == Reach::ALL_THREADS) {
            return lock_chains();
        } else {
            return 0;
        }
    }

    Link*& newest_;
    Link* link_;
    Link* below_ = nullptr;
};

}  // namespace host
