// Failures that zhost reports to the user as one line: Error (exit status 1)
// for a refused input, an unwritable output or a plug-in error; UsageError
// (exit status 2) for option values that make no sense. A plug-in's message
// keeps its own words; the system's reason for it (a full disk, say) then
// follows on a second line.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace zhost {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    Error(const std::string& what, std::string cause) : std::runtime_error(what), cause_(std::move(cause)) {}

    // The system's reason, shown on the line after what(); empty when none.
    const std::string& cause() const { return cause_; }

private:
    std::string cause_;
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
