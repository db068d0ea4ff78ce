// The saver's options request: the host's file requester, opened on the
// instance's three name buffers.
#include "zsave/zsave.h"

extern "C" const char* zsave_options(void* instance) {
    ZSaveInstance& self = *static_cast<ZSaveInstance*>(instance);
    void* service = self.host_global ? self.host_global(SERVICE_FILE_REQUEST, 0) : nullptr;
    auto request_file = reinterpret_cast<FileRequestFn>(service);
    if (request_file == nullptr) return zsave_text::NO_FILE_DIALOG;

    FileRequest request{};
    request.request_kind = FILE_REQUEST_SAVE;
    request.title = "Z Buffer Base Name";
    request.file_type = nullptr;
    request.directory = self.directory;
    request.base_name = self.base_name;
    request.full_name = self.full_name;
    request.buffer_length = static_cast<int32_t>(ZSAVE_NAME_CAPACITY);
    request.pick_callback = nullptr;
    // Accepted or cancelled, the buffers hold what the requester left there.
    request_file(FILE_REQUEST_VERSION, &request);
    zsave_terminate_names(self);
    return nullptr;
}
