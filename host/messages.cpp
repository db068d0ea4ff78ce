#include "host/messages.h"

#include <cerrno>

#include "host/boundary.h"

namespace host {
namespace {

std::optional<std::string> text_or_null(const char* text) {
    return text ? std::optional<std::string>(text) : std::nullopt;
}

// A callback of the module (boundary.h): a message that cannot be kept
// fails the host call that called the module.
extern "C" void show_error_entry(const char* text, const char* second_text) noexcept {
    const int error_number = errno;  // before anything here can change it
    guarded([&] {
        ServiceOwner<MessageLog>::with_newest(SERVICE_MESSAGES, [&](MessageLog* log) {
            if (log != nullptr) log->record(text, second_text, error_number);
        });
    });
}

}  // namespace

const MessageService* MessageLog::service() {
    static const MessageService record{nullptr, show_error_entry};
    return &record;
}

MessageLog::MessageLog() : offer_(SERVICE_MESSAGES, service(), this) {}

std::vector<Message> MessageLog::messages() const {
    std::lock_guard guard(lock_);
    return messages_;
}

std::vector<int> MessageLog::error_numbers() const {
    std::lock_guard guard(lock_);
    return error_numbers_;
}

std::size_t MessageLog::size() const {
    std::lock_guard guard(lock_);
    return messages_.size();
}

void MessageLog::clear() {
    std::lock_guard guard(lock_);
    messages_.clear();
    error_numbers_.clear();
}

void MessageLog::record(const char* text, const char* second_text, int error_number) {
    Message message{text_or_null(text), text_or_null(second_text)};
    std::lock_guard guard(lock_);
    messages_.push_back(std::move(message));
    error_numbers_.push_back(error_number);
}

}  // namespace host
