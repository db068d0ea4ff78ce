#include "host/boundary.h"

namespace host {

std::exception_ptr& callback_failure() noexcept {
    thread_local std::exception_ptr failure;
    return failure;
}

}  // namespace host
