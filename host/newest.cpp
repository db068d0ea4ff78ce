#include "host/newest.h"

#include <cstdio>
#include <cstdlib>

namespace host {

std::unique_lock<std::mutex> lock_chains() {
    static std::mutex chains;
    return std::unique_lock(chains);
}

void link_ended_out_of_order() {
    std::fputs("host: a service owner ended before one made after it\n", stderr);
    std::abort();
}

}  // namespace host
