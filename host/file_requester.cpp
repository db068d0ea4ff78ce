#include "host/file_requester.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "host/boundary.h"
#include "host/platform.h"

namespace host {
namespace {

// A caller's buffer of `capacity` characters, which may lack a terminator.
std::optional<std::string> buffer_text(const char* buffer, int32_t capacity) {
    if (buffer == nullptr) return std::nullopt;
    if (capacity <= 0) return std::string();
    const auto limit = static_cast<std::size_t>(capacity);
    const void* end = std::memchr(buffer, '\0', limit);
    return std::string(buffer, end ? static_cast<const char*>(end) - buffer : limit);
}

std::optional<std::string> text_or_null(const char* text) {
    return text ? std::optional<std::string>(text) : std::nullopt;
}

// Copies as much of `text` as fits, always terminated; a buffer without room
// for even the terminator is left alone.
void fill(char* buffer, int32_t capacity, const std::string& text) {
    if (buffer == nullptr || capacity <= 0) return;
    const std::size_t length = std::min(text.size(), static_cast<std::size_t>(capacity) - 1);
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
}

// A callback of the module (boundary.h): a request that fails answers 0,
// as a cancelled one does.
extern "C" int32_t request_file_entry(int32_t version, FileRequest* request) noexcept {
    return guarded(int32_t{0}, [&] {
        return ServiceOwner<ScriptedFileRequester>::with_newest(
            SERVICE_FILE_REQUEST, [&](ScriptedFileRequester* requester) -> int32_t {
                if (requester == nullptr || request == nullptr) return 0;
                return requester->answer(version, request);
            });
    });
}

}  // namespace

ScriptedFileRequester::ScriptedFileRequester(std::string chosen_path)
    : chosen_path_(std::move(chosen_path)),
      offer_(SERVICE_FILE_REQUEST, reinterpret_cast<const void*>(&request_file_entry), this) {}

void ScriptedFileRequester::choose(std::string path) {
    const auto guard = lock_chains();
    chosen_path_ = std::move(path);
}

void ScriptedFileRequester::set_cancelling(bool cancelling) {
    const auto guard = lock_chains();
    cancelling_ = cancelling;
}

std::vector<FileRequestRecord> ScriptedFileRequester::requests() const {
    const auto guard = lock_chains();
    return requests_;
}

int32_t ScriptedFileRequester::answer(int32_t version, FileRequest* request) {
    const int32_t length = request->buffer_length;
    requests_.push_back({version, request->request_kind, text_or_null(request->title),
                         text_or_null(request->file_type), length,
                         buffer_text(request->directory, length),
                         buffer_text(request->base_name, length),
                         buffer_text(request->full_name, length), request->pick_callback != nullptr});
    if (cancelling_) {
        request->result = 0;
        return 0;
    }
    const std::filesystem::path path = platform::native_path(chosen_path_);
    fill(request->directory, length, platform::narrow_name(path.parent_path()));
    fill(request->base_name, length, platform::narrow_name(path.filename()));
    fill(request->full_name, length, chosen_path_);
    request->result = 1;
    return 1;
}

}  // namespace host
