#include "zhost/server_messages.h"

#include <cstdio>
#include <cstring>

#include "zhost/one_line.h"

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

std::size_t print_messages(const host::MessageLog& log,
                           const std::vector<std::pair<std::string, std::string>>& rename) {
    const std::vector<host::Message> messages = log.messages();
    const std::vector<int> error_numbers = log.error_numbers();
    for (std::size_t i = 0; i < messages.size(); ++i) {
        std::fprintf(stderr, "zhost: %s\n", message_line(messages[i], rename).c_str());
        const std::string cause = message_cause(messages[i], error_numbers[i]);
        if (!cause.empty()) std::fprintf(stderr, "zhost: %s\n", cause.c_str());
    }
    return messages.size();
}

}  // namespace zhost
