// "Info Messages 2": the host's message service, collecting what servers
// show so that the program can print it and tests can read it.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/services.h"
#include "module/host_interface.h"

namespace host {

// One shown message. A null text stays distinct from an empty one.
struct Message {
    std::optional<std::string> text;
    std::optional<std::string> second_text;
    bool operator==(const Message&) const = default;
};

// Offers "Info Messages 2" while it lives and keeps every message shown
// through it, in order. The newest log receives the messages; the one before
// it takes over again when it goes.
class MessageLog {
public:
    MessageLog();
    MessageLog(const MessageLog&) = delete;
    MessageLog& operator=(const MessageLog&) = delete;

    std::vector<Message> messages() const;
    // errno as it was when each message was shown, in the order of
    // messages(): for a message about a failed file operation, the system's
    // reason for the failure (0 when none was set).
    std::vector<int> error_numbers() const;
    std::size_t size() const;
    void clear();

    // The service record; one record serves every log and stays valid.
    static const MessageService* service();

    // Keeps a message as the service does when a server shows one.
    void record(const char* text, const char* second_text, int error_number = 0);

private:
    mutable std::mutex lock_;
    std::vector<Message> messages_;
    std::vector<int> error_numbers_;
    ServiceOwner<MessageLog> offer_;
};

}  // namespace host
