// The host's side of an image load: the LoaderLocal handed to an image
// loader's activation, and the ImageProtocol through which the loader
// delivers a one-channel float image row by row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/image.h"
#include "host/module_host.h"
#include "module/host_interface.h"

namespace host {

// What one load gave: the loader's status, the image when it is complete,
// and how many rows arrived of those announced.
struct ImageLoad {
    int32_t status = STATUS_FAILED;   // the LoaderStatus the loader left
    std::optional<Image> image;       // present only with STATUS_OK
    int32_t rows_received = 0;        // distinct rows the host accepted
    int32_t rows_announced = 0;       // height given to set_size, 0 without it
};

// Assembles one image from the calls of one loader activation.
//
// The protocol accepts one image of type IMAGE_GREY_FLOAT. send_line refuses
// (non-zero) a row before a valid set_size, a row outside the announced
// height, a null pixel pointer, and every row after finish. Storage grows as
// rows arrive; the whole image is reserved up front only when its size is
// plausible for the file's size, so a header announcing a huge image above a
// tiny file costs nothing. No exception crosses into the loader: the first
// one a callback meets turns into a refusal and is rethrown by result().
class ImageLoader {
public:
    // `accept_size`, when given, sees the size the loader announces and may
    // throw to refuse it: no row is then taken, and result() rethrows.
    using SizeCheck = std::function<void(int32_t width, int32_t height)>;
    explicit ImageLoader(const std::string& path, SizeCheck accept_size = {});
    ~ImageLoader();
    ImageLoader(const ImageLoader&) = delete;
    ImageLoader& operator=(const ImageLoader&) = delete;

    // The record for the loader's activation; stays at its address for the
    // life of this object.
    LoaderLocal* local();

    // Bytes of pixel storage held so far (capacity, not size).
    std::size_t reserved_bytes() const;

    // The outcome once the activation has returned. The image is moved out.
    // Rethrows the first exception met inside a callback.
    ImageLoad result();

    // The state of one load and the records handed to the loader; opaque.
    struct Session;

private:
    std::unique_ptr<Session> session_;
};

// Loads the image file at `path` through the module's "OBK_ZLoad" loader.
// Throws HostError when the module has no such loader; a file the loader
// cannot open, does not recognise or cannot read whole comes back as status.
ImageLoad load_depth_image(const Module& module, const std::string& path, ImageLoader::SizeCheck accept_size = {});

}  // namespace host
