// Images for the image list read from files, depth files through the
// module's loader.
#pragma once

#include <string>

#include "host/image.h"
#include "host/module_host.h"
#include "zhost/images/image_read.h"

namespace zhost {

// Loads a depth file through the module's "OBK_ZLoad". Throws zhost::Error
// naming the loader's verdict: cannot open, not a depth file (and why),
// truncated after N of M rows. The image counts against `account`.
host::Image load_depth_file(const host::Module& module, const std::string& path, HeldImages* account = nullptr);

// An image for the image list, named `name`: a depth file (".zb") through
// the loader, a one-channel image as it is, anything else as RGBA; placed
// beside a render when `placement` is given (a depth file of the render's
// frame size lies on its frame, any other on its display window). The
// image counts against `account`.
host::Image read_list_image(const host::Module& module, const std::string& name, const std::string& path,
                            const Placement* placement = nullptr, HeldImages* account = nullptr);

// An image file opened already, as read_list_image reads it (unnamed).
host::Image read_list_image(ImageFile file, const Placement* placement = nullptr);

}  // namespace zhost
