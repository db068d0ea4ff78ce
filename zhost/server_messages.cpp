#include "zhost/server_messages.h"

#include <cstdio>

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

std::size_t print_messages(const host::MessageLog& log,
                           const std::vector<std::pair<std::string, std::string>>& rename) {
    const std::vector<host::Message> messages = log.messages();
    for (const host::Message& message : messages) {
        std::fprintf(stderr, "zhost: %s\n", message_line(message, rename).c_str());
    }
    return messages.size();
}

}  // namespace zhost
