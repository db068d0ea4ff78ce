// Conversions between zhost's images and the host's render frames, and the
// servers' messages as zhost prints them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/frame.h"
#include "host/image.h"
#include "host/messages.h"
#include "host/module_host.h"

namespace zhost {

// Throws zhost::Error unless `image` has the size of `reference`; the
// reason names both files and both sizes.
void check_same_size(const host::Image& reference, const host::Image& image);

// A frame numbered `number` holding the depth plane and, when given, the
// colour and alpha of an RGBA image of the same size (zero without one).
host::Frame make_frame(const host::Image& depth, const host::Image* rgba, int32_t number);

// The colour buffers of a frame as an RGBA image, and its depth plane.
host::Image frame_rgba(const host::Frame& frame);
host::Image frame_depth(const host::Frame& frame);

// Threads to use: `asked`, or one per processor for 0; never more than `jobs`.
int worker_count(int asked, int64_t jobs);

// Depths this far or farther count as the sky in previews of loaded files.
constexpr float PREVIEW_SKY_DEPTH = 1e19f;

// Loads a depth file through the module's "OBK_ZLoad". Throws zhost::Error
// naming the loader's verdict: cannot open, not a depth file (and why),
// truncated after N of M rows.
host::Image load_depth_file(const host::Module& module, const std::string& path);

// An image for the image list, named `name`: a depth file (".zb") through
// the loader, a one-channel image as it is, anything else as RGBA.
host::Image read_list_image(const host::Module& module, const std::string& name, const std::string& path);

// Writes a rendered frame: EXR and TIFF as 32-bit floats R, G, B, A, Z;
// other formats as 8-bit RGBA with the values as they are (no encoding).
// Throws zhost::Error for PFM, which holds no alpha.
void write_frame_image(const std::string& path, const host::Frame& frame);

// One line for a message a server showed: its text, then ": " and the second
// text when there is one. `rename` pairs replace a prefix of the second text
// (a staged file name by the name the user will see).
std::string message_line(const host::Message& message,
                         const std::vector<std::pair<std::string, std::string>>& rename = {});

// Prints each message as "zhost: LINE" on stderr; returns how many.
std::size_t print_messages(const host::MessageLog& log,
                           const std::vector<std::pair<std::string, std::string>>& rename = {});

}  // namespace zhost
