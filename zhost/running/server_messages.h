// The messages that servers show, as zhost prints them.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "host/messages.h"

namespace zhost {

// One line for a message a server showed: its text, then ": " and the second
// text when there is one. `rename` pairs replace a prefix of the second text
// (a staged file name by the name the user will see).
std::string message_line(const host::Message& message,
                         const std::vector<std::pair<std::string, std::string>>& rename = {});

// The system's reason for a message about a failed file operation (one
// that names the file): strerror of `error_number`, errno as it was when
// the message was shown. Empty for other messages and without a reason.
std::string message_cause(const host::Message& message, int error_number);

}  // namespace zhost
