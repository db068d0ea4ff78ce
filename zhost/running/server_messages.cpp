#include "zhost/running/server_messages.h"

#include <cstdio>
#include <cstring>

#include "zhost/text/one_line.h"

namespace zhost {

std::string message_line(const host::Message& message,
                         const std::vector<std::pair<std::string, std::string>>& rename) {
    std::string line = message.text.value_or("(no text)");
    if (message.second_text) {
        std::string second = *message.second_text;
        for (const auto& [from, to] : rename) {
            if (!from.empty() && second.compare(0, from.size(), from) == 0) {
                second = to + second.substr(from.size());
                break;
            }
        }
        line += ": " + second;
    }
    return one_line(line);
}

std::string message_cause(const host::Message& message, int error_number) {
    return message.second_text && error_number != 0 ? std::strerror(error_number) : "";
}

}  // namespace zhost
