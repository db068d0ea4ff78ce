// Conversions between zhost's images and the host's render frames, and the
// servers' messages as zhost prints them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/frame.h"
#include "host/image.h"
#include "host/messages.h"

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

// One line for a message a server showed: its text, then ": " and the second
// text when there is one. `rename` pairs replace a prefix of the second text
// (a staged file name by the name the user will see).
std::string message_line(const host::Message& message,
                         const std::vector<std::pair<std::string, std::string>>& rename = {});

// Prints each message as "zhost: LINE" on stderr; returns how many.
std::size_t print_messages(const host::MessageLog& log,
                           const std::vector<std::pair<std::string, std::string>>& rename = {});

}  // namespace zhost
