#include "host/image_loader.h"

#include <cstring>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "host/boundary.h"
#include "host/platform.h"

namespace host {

struct ImageLoader::Session {
    enum class Stage { waiting, open, finished, ended };

    std::string path;
    ImageLoader::SizeCheck accept_size;
    uint64_t file_size = 0;
    LoaderLocal local{};
    ImageProtocol protocol{};
    Stage stage = Stage::waiting;
    bool size_valid = false;
    Image image;
    std::vector<bool> received;   // grows with the pixel storage
    int32_t rows_received = 0;
    int32_t finish_status = STATUS_FAILED;
    std::exception_ptr error;

    bool accepts_rows() const { return stage == Stage::open && size_valid; }

    // Makes room for rows 0 to `rows` - 1. Throws when they cannot be held.
    void grow_to(int32_t rows) {
        const uint64_t needed = uint64_t(rows) * uint64_t(image.width);
        if (needed <= image.pixels.size()) return;
        if (needed > image.pixels.max_size()) throw std::length_error("image too large for memory");
        image.pixels.resize(static_cast<std::size_t>(needed));
        received.resize(static_cast<std::size_t>(rows));
    }
};

namespace {

using Session = ImageLoader::Session;
using Stage = Session::Stage;

Session& session_of(void* data) { return *static_cast<Session*>(data); }

// Callbacks of the module (boundary.h). An exception becomes the callback's
// refusal and is kept in the session, for result() to rethrow.
extern "C" ImageProtocol* begin_image(void* host_data, int32_t image_type) noexcept {
    Session& s = session_of(host_data);
    return guarded<ImageProtocol*>(nullptr, [&]() -> ImageProtocol* {
        if (s.stage != Stage::waiting || image_type != IMAGE_GREY_FLOAT) return nullptr;
        s.stage = Stage::open;
        s.image.name = platform::narrow_name(platform::native_path(s.path).filename());
        s.image.channels = 1;
        return &s.protocol;
    }, s.error);
}

// A size may be set until the first row arrives.
extern "C" void set_size(void* protocol_data, int32_t width, int32_t height) noexcept {
    Session& s = session_of(protocol_data);
    guarded([&] {
        if (s.stage != Stage::open || s.rows_received > 0) return;
        s.size_valid = false;
        s.image.width = 0;
        s.image.height = 0;
        s.image.pixels.clear();
        s.received.clear();
        if (width <= 0 || height < 0) return;
        if (s.accept_size) s.accept_size(width, height);
        s.size_valid = true;
        s.image.width = width;
        s.image.height = height;
        const uint64_t bytes = uint64_t(s.image.width) * uint64_t(s.image.height) * sizeof(float);
        if (s.size_valid && bytes <= s.file_size) s.image.pixels.reserve(bytes / sizeof(float));
    }, s.error);
}

// The host keeps no image parameters.
extern "C" void set_param(void*, int32_t, int32_t, float) noexcept {}

extern "C" int32_t send_line(void* protocol_data, int32_t row, const float* pixels) noexcept {
    Session& s = session_of(protocol_data);
    return guarded(int32_t{1}, [&]() -> int32_t {
        if (!s.accepts_rows() || row < 0 || row >= s.image.height || pixels == nullptr) return 1;
        const auto width = static_cast<std::size_t>(s.image.width);
        if (s.image.index(0, row) == s.image.pixels.size()) {
            // The next row in order is appended: one copy, no zero fill first.
            s.image.pixels.insert(s.image.pixels.end(), pixels, pixels + width);
            s.received.resize(static_cast<std::size_t>(row) + 1);
        } else {
            s.grow_to(row + 1);
            std::memcpy(&s.image.pixels[s.image.index(0, row)], pixels, width * sizeof(float));
        }
        if (!s.received[static_cast<std::size_t>(row)]) {
            s.received[static_cast<std::size_t>(row)] = true;
            ++s.rows_received;
        }
        return 0;
    }, s.error);
}

// Success only when the loader reports none and every announced row arrived.
extern "C" int32_t finish(void* protocol_data, int32_t error_code) noexcept {
    Session& s = session_of(protocol_data);
    return guarded(int32_t{STATUS_FAILED}, [&]() -> int32_t {
        if (s.stage != Stage::open) return STATUS_FAILED;
        s.stage = Stage::finished;
        const bool complete = s.size_valid && s.rows_received == s.image.height;
        s.finish_status = error_code == 0 && complete ? STATUS_OK : STATUS_FAILED;
        return s.finish_status;
    }, s.error);
}

extern "C" int32_t end_image(void* host_data, ImageProtocol* protocol) noexcept {
    Session& s = session_of(host_data);
    return guarded(int32_t{1}, [&] {
        if (protocol != &s.protocol || s.stage == Stage::waiting || s.stage == Stage::ended) return 1;
        s.stage = Stage::ended;
        return 0;
    }, s.error);
}

}  // namespace

ImageLoader::ImageLoader(const std::string& path, SizeCheck accept_size) : session_(std::make_unique<Session>()) {
    Session& s = *session_;
    s.path = path;
    s.accept_size = std::move(accept_size);
    std::error_code ignored;
    const auto size = std::filesystem::file_size(path, ignored);
    s.file_size = ignored ? 0 : size;

    s.local.host_data = &s;
    s.local.result = STATUS_FAILED;
    s.local.filename = s.path.c_str();
    s.local.begin_image = begin_image;
    s.local.end_image = end_image;

    s.protocol.protocol_data = &s;
    s.protocol.finish = finish;
    s.protocol.set_size = set_size;
    s.protocol.set_param = set_param;
    s.protocol.send_line = send_line;
}

ImageLoader::~ImageLoader() = default;

LoaderLocal* ImageLoader::local() { return &session_->local; }

std::size_t ImageLoader::reserved_bytes() const {
    return session_->image.pixels.capacity() * sizeof(float);
}

ImageLoad ImageLoader::result() {
    Session& s = *session_;
    if (s.error) std::rethrow_exception(s.error);
    ImageLoad load;
    load.rows_received = s.rows_received;
    load.rows_announced = s.size_valid ? s.image.height : 0;
    const bool image_ready = s.stage == Stage::ended && s.finish_status == STATUS_OK;
    // A loader that claims success for an image the host did not complete failed.
    load.status = s.local.result == STATUS_OK && !image_ready ? int32_t{STATUS_FAILED} : s.local.result;
    if (load.status == STATUS_OK) load.image = std::move(s.image);
    return load;
}

ImageLoad load_depth_image(const Module& module, const std::string& path, ImageLoader::SizeCheck accept_size) {
    ImageLoader loader(path, std::move(accept_size));
    module.activate(CLASS_IMAGE_LOADER, "OBK_ZLoad", loader.local());
    return loader.result();
}

}  // namespace host
