// Reading images as compositors store them. A render's frame is its data
// window (overscan included); the display window travels with it. Any
// other image is read into a window, placed by its pixel coordinates
// (never stretched): by default its display window; beside a render, the
// render's frame (see Placement). What the image's data window leaves
// uncovered holds zero colour and alpha and the depth NO_DEPTH. Channels are found by name,
// within a layer or a part of a multi-part file when asked; depth stored as
// integers keeps its numbers. An image is refused before any of its memory
// is taken when it would hold more than the limit (ImageBudget), and its rows are
// committed only as the decoder fills them.
#pragma once

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "host/frame.h"
#include "host/image.h"

namespace zhost {

// Depth where an image has no data: nothing there, infinitely far, so that
// it never wins a depth comparison and always loses one.
constexpr float NO_DEPTH = INFINITY;

// The default limit on the images zhost holds, in bytes of decoded samples
// (32-bit floats of the channels kept): an eighth of the machine's memory
// (or of the process's memory limit, when lower), since `comp` holds about
// six images of the frame's size at its peak.
uint64_t default_max_image_bytes();

// "WxH", as messages show an image's size.
std::string size_text(int64_t width, int64_t height);

class HeldImages;

// Throws zhost::Error, naming the limit and --max-image-mb, when an image of
// `width` x `height` pixels and `channels` float channels, plus `extra`
// bytes for decoding it, would take more than the limit of `account`'s
// budget, or without an account the default limit. Without --max-image-mb,
// the file at `path` may also decode to no more than 64 times its size, or
// 256 MB where that is more: a small file cannot make zhost take gigabytes.
void check_decoded_size(const std::string& path, int64_t width, int64_t height, int channels, uint64_t extra = 0,
                        const HeldImages* account = nullptr);

// Throws zhost::Error with a one-line reason unless `path` names a regular
// file (links followed) that can be read: a device, a FIFO or a socket
// would feed a reader without end or block it.
void check_input_file(const std::string& path);

// The same for a device, a FIFO or a socket only, leaving other failures to
// the caller's own opening and its messages.
void check_not_special_file(const std::string& path);

// The images of one command: its limit (--max-image-mb; 0 for the default)
// and the images that its frames in flight hold against it.
class ImageBudget {
public:
    explicit ImageBudget(uint64_t limit_bytes = 0);
    ImageBudget(const ImageBudget&) = delete;
    ImageBudget& operator=(const ImageBudget&) = delete;

    uint64_t limit() const { return limit_; }
    // The limit was given, not the default.
    bool given() const { return given_; }

    // Waits until the images in flight leave room for one more frame as
    // large as the largest that ended so far (the limit allowing, its
    // images and what it held while they were made); until a frame has
    // ended, until none is in flight. Returns false, not waiting, when
    // `stop` returns true after a change.
    template <typename Stop>
    bool wait_for_room(Stop stop);

private:
    friend class HeldImages;
    friend void hold_image_bytes(HeldImages* account, const std::string& path, uint64_t bytes, uint64_t passing);
    // Blocks while `busy` returns true, checking it after each change.
    void wait_while(const std::function<bool()>& busy);
    bool room_for_a_frame() const;

    uint64_t limit_;
    bool given_;
    std::mutex mutex_;
    std::condition_variable released_;
    uint64_t held_ = 0;
    std::vector<HeldImages*> accounts_;  // in the order made, one per frame in flight
    uint64_t largest_ended_ = 0;         // the largest peak of an account that ended
    bool one_ended_ = false;
};

// An account of the images that one frame of a command reads and makes
// (decoded inputs, frames, their copies), held against its budget together
// with the other frames in flight. The functions that read or make images
// take the account to count them against; an image counted against none is
// held to the default limit alone.
class HeldImages {
public:
    explicit HeldImages(ImageBudget& budget);
    ~HeldImages();
    HeldImages(const HeldImages&) = delete;
    HeldImages& operator=(const HeldImages&) = delete;

    ImageBudget& budget() const { return budget_; }

private:
    friend class ImageBudget;
    friend void hold_image_bytes(HeldImages* account, const std::string& path, uint64_t bytes, uint64_t passing);
    ImageBudget& budget_;
    uint64_t held_ = 0;
    uint64_t peak_ = 0;  // held_ and the bytes passing, at their most
};

template <typename Stop>
bool ImageBudget::wait_for_room(Stop stop) {
    bool stopped = false;
    wait_while([&] { return !(stopped = stop()) && !room_for_a_frame(); });
    return !stopped;
}

// Counts `bytes` that an image of `path` holds until `account` ends, and
// `passing` bytes held while it is made. When the images in
// flight would then take more than the limit, an account with older ones
// alive waits for them to end; the oldest (or none) throws zhost::Error
// naming the limit and --max-image-mb.
void hold_image_bytes(HeldImages* account, const std::string& path, uint64_t bytes, uint64_t passing = 0);

// A rectangle of pixel coordinates.
struct Window {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;

    bool operator==(const Window&) const = default;
};

// The windows of a render: its frame (the data window) and its display
// window. Another image beside it is read into the render's frame by pixel
// coordinates when its display window has the render's display size;
// otherwise the compositor scales it, and it is read into the render's
// frame as it lies in the render's display window, scaled by the ratio of
// the two display sizes (its display window when the render has no
// overscan). With `refuse_scaling`, an image of another display size is
// refused instead.
struct Placement {
    Window frame;
    Window display;
    bool refuse_scaling = false;
};

// An image file opened once, at the part to read, its header read: every
// read of the image goes through it. Opening throws zhost::Error with a
// one-line reason for a missing, special or unreadable file, a part the
// file does not have, a deep image, or windows beyond 32-bit coordinates.
class ImageFile {
public:
    // `subimage`: the part's index or name; empty for the first. The
    // images read from it count against `account`.
    explicit ImageFile(const std::string& path, const std::string& subimage = "", HeldImages* account = nullptr);
    ~ImageFile();
    ImageFile(ImageFile&&) noexcept;
    ImageFile& operator=(ImageFile&&) noexcept;

    const std::string& path() const;
    // The part's channel names, in file order.
    const std::vector<std::string>& channel_names() const;

    // The open file, for the readers of images.
    struct Open;
    Open& open() { return *open_; }
    const Open& open() const { return *open_; }

private:
    std::unique_ptr<Open> open_;
};

// The windows of the render in `file`.
Placement placement_of(const ImageFile& file);

// The window that an image whose display window is `display` is read into
// beside the render of `placement`; throws zhost::Error naming `path` when
// the placement refuses the scaling.
Window window_beside(const Placement& placement, const Window& display, const std::string& path);

// `image`, which covers `from`, cut and widened to `to`: pixel for pixel
// at the same coordinates, `outside` where `from` does not reach.
host::Image placed(const host::Image& image, const Window& from, const Window& to, float outside,
                   HeldImages* account = nullptr);

// Which part of a file to read and which of its channels make colour and depth.
struct ChannelChoice {
    std::string subimage;       // the part's index or name; empty: the first
    std::string layer;          // colour from LAYER.R, LAYER.G, ...; empty: R, G, B, A
    std::string depth_channel;  // empty: LAYER.Z with a layer, else Z
};

// What a file said about the image read from it, for outputs that follow it:
// its header (the part read, without pixels) and the stored type of each
// channel read, in the order read.
struct ImageSource {
    OIIO::ImageSpec header;
    std::vector<OIIO::TypeDesc> types;
    std::vector<std::string> names;  // as an output names them: the file's names, R, G, B for grey
};

// Reads the named channels of the image file, in the order given. Throws
// zhost::Error with a one-line reason for a missing or unreadable file, an
// image beyond the size limit, a deep image, or a channel the file does not
// have (the reason lists the channels it has).
host::Image read_channels(const std::string& path, const std::vector<std::string>& channels);

// The readers below take a path, or a file opened already (whose part was
// chosen when it was opened: `choice.subimage` is not looked at), which may
// be read again by any of them.

// Reads the depth plane of an image file as a one-channel image: the channel
// `choice.depth_channel` when given; otherwise Z (LAYER.Z first), or the
// only channel of a one-channel image. Two channels that could both be the
// depth are refused, naming both.
host::Image read_depth(const std::string& path, const ChannelChoice& choice = {},
                       const Placement* placement = nullptr);
host::Image read_depth(ImageFile& file, const ChannelChoice& choice = {}, const Placement* placement = nullptr);

// Reads an image as RGBA: R, G and B (a one-channel image is taken as grey),
// and A, or 1.0 where the file has no alpha.
host::Image read_rgba(const std::string& path, const ChannelChoice& choice = {},
                      const Placement* placement = nullptr);
host::Image read_rgba(ImageFile& file, const ChannelChoice& choice = {}, const Placement* placement = nullptr);

// Reads an image's colour as read_rgba does, without its alpha.
host::Image read_rgb(const std::string& path, const ChannelChoice& choice = {},
                     const Placement* placement = nullptr);
host::Image read_rgb(ImageFile& file, const ChannelChoice& choice = {}, const Placement* placement = nullptr);

// An image's depth and colour, as read_depth and read_rgb read them, from
// one decode of the file.
struct DepthAndRgb {
    host::Image depth;
    host::Image rgb;
};
DepthAndRgb read_depth_and_rgb(ImageFile& file, const ChannelChoice& choice = {}, const Placement* placement = nullptr);

// A render as images of its display window: colour and alpha, and the
// depth, from one read of the file (or the depth from `depth_path` when
// given), with the source of R, G, B, A and Z in that order.
struct RgbaAndDepth {
    host::Image rgba;
    host::Image depth;
    ImageSource source;
};
RgbaAndDepth read_rgba_and_depth(const std::string& path, const ChannelChoice& choice = {},
                                 const std::string& depth_path = "");

// A render read straight into a frame numbered `number`, of the size of its
// data window: colour and alpha into its colour buffers and the depth into
// its depth buffer, as read_rgba_and_depth reads them (a depth file is
// placed beside the render; one of another display size is refused), with
// the source of R, G, B, A and Z in that order, the render's windows, and
// the names of the render's channels that the frame does not hold, in file
// order.
struct RenderFrame {
    host::Frame frame;
    ImageSource source;
    Placement placement;
    std::vector<std::string> other_channels;
};
RenderFrame read_render(const std::string& path, const ChannelChoice& choice = {}, const std::string& depth_path = "",
                        int32_t number = 0);
RenderFrame read_render(ImageFile& file, const ChannelChoice& choice = {}, const std::string& depth_path = "",
                        int32_t number = 0);

// Channels of an image in the types the file stores them, interleaved
// pixel by pixel (each pixel `pixel_bytes`, each channel at its offset),
// over `window`; zero bytes where the image's data window does not reach.
struct StoredChannels {
    std::vector<std::string> names;
    std::vector<OIIO::TypeDesc> types;
    std::vector<std::size_t> offsets;
    std::size_t pixel_bytes = 0;
    Window window;
    std::vector<unsigned char> pixels;

    unsigned char* sample(std::size_t pixel, std::size_t channel) {
        return pixels.data() + pixel * pixel_bytes + offsets[channel];
    }
    const unsigned char* sample(std::size_t pixel, std::size_t channel) const {
        return pixels.data() + pixel * pixel_bytes + offsets[channel];
    }
};

// Reads the channels `names` of an image file (all of them must exist) in
// their stored types: over its data window, or, with a `placement`, placed
// beside that render.
StoredChannels read_stored_channels(ImageFile& file, const std::vector<std::string>& names,
                                    const Placement* placement = nullptr);

// Buffers of a frame as an image, interleaved in the order given.
host::Image frame_channels(const host::Frame& frame, std::span<const int32_t> buffers, HeldImages* account = nullptr);

// Rows of one chunk of an EXR file with `compression` (a name as OpenImageIO
// gives it, "zip" or "zip:4"): 1 to 256.
int exr_chunk_rows(const std::string& compression);

// The channel names of an image file (of its first part), in file order.
std::vector<std::string> channel_names(const std::string& path);

}  // namespace zhost
