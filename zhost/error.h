// Failures that zhost reports to the user as one line: Error (exit status 1)
// for a refused input, an unwritable output or a plug-in error; UsageError
// (exit status 2) for option values that make no sense.
#pragma once

#include <stdexcept>

namespace zhost {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class UsageError : public Error {
public:
    using Error::Error;
};

// Runs `parse`, which reads option values, and turns its Error into a
// UsageError: a value that cannot be read is a usage error.
template <typename Parse>
auto parse_option(Parse parse) {
    try {
        return parse();
    } catch (const UsageError&) {
        throw;
    } catch (const Error& error) {
        throw UsageError(error.what());
    }
}

}  // namespace zhost
