// The host layer's one exception type.
#pragma once

#include <stdexcept>

namespace host {

// Failure of the host layer itself: a module that cannot be loaded, a server
// that does not exist, a file that cannot be read or written.
class HostError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace host
