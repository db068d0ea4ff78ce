#include "zhost/list_images.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/image_loader.h"
#include "module/file.h"
#include "zhost/error.h"
#include "zbuf/zbuf.h"
#include "zhost/image_io.h"
#include "zhost/zbuf_info.h"

namespace zhost {
namespace {

// The status of a load as one line, for anything but a complete image.
std::string load_failure(const std::string& path, const host::ImageLoad& load) {
    switch (load.status) {
    case STATUS_BAD_FILE: {
        const File file(std::fopen(path.c_str(), "rb"));
        return path + ": cannot open" + (file ? std::string() : ": " + std::string(std::strerror(errno)));
    }
    case STATUS_NOT_RECOGNISED: {
        const ZbufInfo info = inspect_zbuf(path);
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

// A depth file whose header declares more than the image limit is refused
// before the loader runs (a file that is not one is left to the loader).
void check_declared_size(const std::string& path) {
    check_not_special_file(path);
    const File file(std::fopen(path.c_str(), "rb"));
    ZBufHeader header{};
    if (file && read_zbuf_headers(file.get(), &header)) {
        check_decoded_size(path, header.width, header.height, 1);
        hold_image_bytes(path, uint64_t{header.width} * uint64_t{header.height} * sizeof(float));
    }
}

}  // namespace

host::Image load_depth_file(const host::Module& module, const std::string& path) {
    check_declared_size(path);
    host::ImageLoad load = host::load_depth_image(module, path);
    if (load.status != STATUS_OK || !load.image) throw Error(load_failure(path, load));
    load.image->name = path;
    return std::move(*load.image);
}

host::Image read_list_image(const host::Module& module, const std::string& name, const std::string& path) {
    host::Image image;
    if (extension_of(path) == ".zb") {
        image = load_depth_file(module, path);
    } else if (channel_names(path).size() == 1) {
        image = read_depth(path);  // integer samples keep their numbers
    } else {
        image = read_rgba(path);
    }
    image.name = name;
    return image;
}

}  // namespace zhost
