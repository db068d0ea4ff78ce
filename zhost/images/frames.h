// Conversions between zhost's images and the host's render frames, and the
// threads that filter them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/frame.h"
#include "host/image.h"
#include "zhost/images/image_io.h"

namespace zhost {

// Throws zhost::Error unless `image` has the size of `reference`; the
// reason names both files and both sizes.
void check_same_size(const host::Image& reference, const host::Image& image);

// A frame numbered `number` holding the depth plane and, when given, the
// colour and alpha of an RGBA image of the same size. Without one the frame
// has no colour buffers, so a filter finds no colour to pass through. The
// frame counts against `account`.
host::Frame make_frame(const host::Image& depth, const host::Image* rgba, int32_t number,
                       HeldImages* account = nullptr);

// The colour buffers of a frame as an RGBA image, and its depth plane,
// counted against `account`.
host::Image frame_rgba(const host::Frame& frame, HeldImages* account = nullptr);
host::Image frame_depth(const host::Frame& frame, HeldImages* account = nullptr);

// Threads to use: `asked`, or one per processor for 0; never more than `jobs`.
int worker_count(int asked, int64_t jobs);

// Lets OpenImageIO decode, encode and convert images with `asked` threads
// (0: one per processor).
void use_image_threads(int asked);

// Writes a rendered frame: EXR and TIFF as R, G, B, A, Z (by the names of
// `settings`) with its types, windows, compression and metadata, followed
// by `other_channels` (over the frame's pixels) when given; HDR as R, G, B;
// 8-bit formats as pictures of the colour with the sRGB transfer (from the
// settings' colour space), tagged sRGB, with straight alpha where the
// format has alpha. Throws zhost::Error for PFM, which holds no alpha.
// A picture's copy of the frame counts against `account`.
void write_frame_image(const std::string& path, const host::Frame& frame, const OutputSettings& settings = {},
                       const StoredChannels* other_channels = nullptr, HeldImages* account = nullptr);

}  // namespace zhost
