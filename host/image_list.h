// "LW Image List 3": the host's named images in memory, greyscale (one float
// channel, such as a loaded depth file) or colour (RGB or RGBA).
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/image.h"
#include "host/services.h"
#include "module/host_interface.h"

namespace host {

// An image id is the address of the list's entry for the image: it stays
// valid, and keeps naming the same image, until the list goes, however many
// images are added after it.
//
// Positions handed to image_value and image_rgb may be any 32-bit values;
// they are clamped to the nearest edge pixel, so nothing outside the image is
// read. For a colour image, image_value gives the luminance of its red, green
// and blue (Rec. 709 weights 0.2126, 0.7152, 0.0722, summed in float); for a
// greyscale image image_rgb gives its value three times. A null id has the
// name null, size 0 x 0, value 0 and colour black.
//
// The list offers itself under "LW Image List 3" while it lives. Scene
// references go by name, so they survive a scene save and load; they are
// resolved in the list offered last (lists offered together nest).
class ImageList {
public:
    ImageList();
    ~ImageList();
    ImageList(const ImageList&) = delete;
    ImageList& operator=(const ImageList&) = delete;

    // Takes the image in. Throws HostError for an empty or taken name, a
    // channel count other than 1, 3 or 4, a size that is not positive, or
    // pixels that do not hold exactly width x height x channels samples.
    ImageId add(Image image);

    // The image of that name, or null; a look-up in constant time.
    ImageId find(std::string_view name) const;
    // What an id points at; the list's own business.
    struct Entry;

    // The image behind an id that this list gave out.
    static const Image& image(ImageId id);
    std::size_t size() const { return entries_.size(); }

    ImageListService* service() { return &service_; }

private:
    std::vector<std::unique_ptr<const Entry>> entries_;
    std::unordered_map<std::string_view, const Entry*> by_name_;  // views of the entries' own names
    ImageListService service_;
    ServiceOwner<ImageList> offer_;
};

}  // namespace host
