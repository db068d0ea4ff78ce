#include "host/messages.h"

namespace host {
namespace {

std::optional<std::string> text_or_null(const char* text) {
    return text ? std::optional<std::string>(text) : std::nullopt;
}

// Called from the module: nothing may unwind into it. A message that cannot
// be kept for want of memory is dropped.
extern "C" void show_error_entry(const char* text, const char* second_text) {
    ServiceOwner<MessageLog>::with_newest(SERVICE_MESSAGES, [&](MessageLog* log) {
        if (log == nullptr) return;
        try {
            log->record(text, second_text);
        } catch (...) {
        }
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

std::size_t MessageLog::size() const {
    std::lock_guard guard(lock_);
    return messages_.size();
}

void MessageLog::clear() {
    std::lock_guard guard(lock_);
    messages_.clear();
}

void MessageLog::record(const char* text, const char* second_text) {
    Message message{text_or_null(text), text_or_null(second_text)};
    std::lock_guard guard(lock_);
    messages_.push_back(std::move(message));
}

}  // namespace host
