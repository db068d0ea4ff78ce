#include "zhost/running/list_images.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "host/image_loader.h"
#include "module/file.h"
#include "zbuf/zbuf.h"
#include "zhost/files/zbuf_info.h"
#include "zhost/images/image_io.h"
#include "zhost/text/error.h"

namespace zhost {
namespace {

// True for a file that can be opened again to explain a failure: a pipe
// would wait for another writer, and what it held is gone.
bool can_reopen(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error);
}

// The status of a load as one line, for anything but a complete image.
std::string load_failure(const std::string& path, const host::ImageLoad& load) {
    switch (load.status) {
    case STATUS_BAD_FILE: {
        const File file(can_reopen(path) ? std::fopen(path.c_str(), "rb") : nullptr);
        return path + ": cannot open" + (file ? std::string() : ": " + std::string(std::strerror(errno)));
    }
    case STATUS_NOT_RECOGNISED: {
        const ZbufInfo info = can_reopen(path) ? inspect_zbuf(path) : ZbufInfo{};
        return path + ": not a depth file" + (info.reason.empty() ? std::string() : ": " + info.reason);
    }
    default:
        if (load.rows_announced > 0 && load.rows_received < load.rows_announced) {
            return path + ": truncated after " + std::to_string(load.rows_received) + " of " +
                   std::to_string(load.rows_announced) + " rows";
        }
        return path + ": the depth loader failed (status " + std::to_string(load.status) + ")";
    }
}

// The depth loader reads a FIFO as it comes, never moving back, so a depth
// file may come through one; a device or a socket is refused as for any input.
void check_depth_input(const std::string& path) {
    std::error_code error;
    if (std::filesystem::status(path, error).type() != std::filesystem::file_type::fifo) check_not_special_file(path);
}

// A depth file holds no windows: one of the render's frame size lies on the
// frame, any other on the render's display window, as the images of files.
host::Image place_depth_file(host::Image image, const Placement& placement, const std::string& path,
                             HeldImages* account) {
    const Window& frame = placement.frame;
    if (image.width == frame.width && image.height == frame.height) return image;
    const Window lies{placement.display.x, placement.display.y, image.width, image.height};
    return placed(image, lies, window_beside(placement, lies, path), NO_DEPTH, account);
}

}  // namespace

// The file is opened once, by the loader; a size beyond the image limit is
// refused when the loader announces it, before any row is taken.
host::Image load_depth_file(const host::Module& module, const std::string& path, HeldImages* account) {
    check_depth_input(path);
    host::ImageLoad load = host::load_depth_image(module, path, [&](int32_t width, int32_t height) {
        check_decoded_size(path, width, height, 1, 0, account);
        hold_image_bytes(account, path, uint64_t(width) * uint64_t(height) * sizeof(float));
    });
    if (load.status != STATUS_OK || !load.image) throw Error(load_failure(path, load));
    load.image->name = path;
    return std::move(*load.image);
}

host::Image read_list_image(ImageFile file, const Placement* placement) {
    // A one-channel image is depth: integer samples keep their numbers.
    if (file.channel_names().size() == 1) return read_depth(file, {}, placement);
    return read_rgba(file, {}, placement);
}

host::Image read_list_image(const host::Module& module, const std::string& name, const std::string& path,
                            const Placement* placement, HeldImages* account) {
    host::Image image;
    if (extension_of(path) == ".zb") {
        image = load_depth_file(module, path, account);
        if (placement != nullptr) image = place_depth_file(std::move(image), *placement, path, account);
    } else {
        image = read_list_image(ImageFile(path, "", account), placement);
    }
    image.name = name;
    return image;
}

}  // namespace zhost
