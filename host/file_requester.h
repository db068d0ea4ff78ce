// "File Request 2": a file requester that answers with a path chosen in
// advance by its owner (the command line, a test) instead of asking a user.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/services.h"
#include "module/host_interface.h"

namespace host {

// One request as the server made it: the call's version argument, the
// record's entries and the three names that the buffers held before the
// requester filled them. Null texts stay distinct from empty ones.
struct FileRequestRecord {
    int32_t version = 0;
    int32_t request_kind = 0;
    std::optional<std::string> title;
    std::optional<std::string> file_type;
    int32_t buffer_length = 0;
    std::optional<std::string> directory;
    std::optional<std::string> base_name;
    std::optional<std::string> full_name;
    bool has_pick_callback = false;
};

// Offers "File Request 2" while it lives. Each request is answered with the
// chosen path: the directory part, the file part and the whole path go into
// the three buffers, each cut to the buffer length given (terminator
// included). A cancelled requester leaves the buffers alone. The newest
// requester answers; the one before it takes over again when it goes.
class ScriptedFileRequester {
public:
    explicit ScriptedFileRequester(std::string chosen_path);
    ScriptedFileRequester(const ScriptedFileRequester&) = delete;
    ScriptedFileRequester& operator=(const ScriptedFileRequester&) = delete;

    void choose(std::string path);
    // While cancelling, requests are recorded and answered with result 0.
    void set_cancelling(bool cancelling);

    std::vector<FileRequestRecord> requests() const;

    // Answers a request as the service does; called with the chains locked.
    int32_t answer(int32_t version, FileRequest* request);

private:
    // Guarded by the chains' lock, under which requests are answered.
    std::string chosen_path_;
    bool cancelling_ = false;
    std::vector<FileRequestRecord> requests_;
    ServiceOwner<ScriptedFileRequester> offer_;
};

}  // namespace host
