#include "host/image_list.h"

#include <algorithm>
#include <string>

#include "host/boundary.h"
#include "host/module_host.h"
#include "host/scene_state.h"

namespace host {

// An image with what its per-pixel reads need worked out once: where its
// samples start, its last column and row, and the samples per row.
struct ImageList::Entry {
    explicit Entry(Image taken)
        : image(std::move(taken)),
          samples(image.pixels.data()),
          last_x(static_cast<uint32_t>(image.width - 1)),
          last_y(static_cast<uint32_t>(image.height - 1)),
          channels(static_cast<std::size_t>(image.channels)),
          row_samples(static_cast<std::size_t>(image.width) * channels) {}

    // The first sample of pixel (x, y), clamped to the nearest edge pixel.
    // Inside the image (the common case) one unsigned comparison per
    // coordinate decides; a negative coordinate wraps and takes the clamp.
    const float* pixel(int32_t x, int32_t y) const {
        auto column = static_cast<uint32_t>(x);
        auto row = static_cast<uint32_t>(y);
        if (column > last_x) [[unlikely]] column = x < 0 ? 0 : last_x;
        if (row > last_y) [[unlikely]] row = y < 0 ? 0 : last_y;
        return samples + row * row_samples + column * channels;
    }

    Image image;
    const float* samples;
    uint32_t last_x;
    uint32_t last_y;
    std::size_t channels;
    std::size_t row_samples;
};

namespace {

using Entry = ImageList::Entry;

const Entry* as_entry(ImageId id) { return static_cast<const Entry*>(id); }

float luminance(const float* rgb) { return 0.2126f * rgb[0] + 0.7152f * rgb[1] + 0.0722f * rgb[2]; }

// Callbacks of the module (boundary.h). The per-pixel reads, image_value and
// image_rgb, only read memory and cannot throw: they are noexcept rather than
// guarded.
extern "C" const char* list_image_name(ImageId id) noexcept {
    return guarded<const char*>(nullptr, [&] { return id ? as_entry(id)->image.name.c_str() : nullptr; });
}

extern "C" void list_image_size(ImageId id, int32_t* width, int32_t* height) noexcept {
    guarded([&] {
        const Entry* entry = as_entry(id);
        if (width) *width = entry ? entry->image.width : 0;
        if (height) *height = entry ? entry->image.height : 0;
    });
}

extern "C" float list_image_value(ImageId id, int32_t x, int32_t y) noexcept {
    const Entry* entry = as_entry(id);
    if (entry == nullptr) return 0.0f;
    const float* pixel = entry->pixel(x, y);
    return entry->channels == 1 ? pixel[0] : luminance(pixel);
}

extern "C" void list_image_rgb(ImageId id, int32_t x, int32_t y, float rgb[3]) noexcept {
    const Entry* entry = as_entry(id);
    if (entry == nullptr) {
        rgb[0] = rgb[1] = rgb[2] = 0.0f;
        return;
    }
    const float* pixel = entry->pixel(x, y);
    const std::size_t step = entry->channels == 1 ? 0 : 1;
    rgb[0] = pixel[0];
    rgb[1] = pixel[step];
    rgb[2] = pixel[2 * step];
}

extern "C" ImageId list_load_image_ref(const LoadState* state) noexcept {
    return guarded<ImageId>(nullptr, [&] {
        const ImageRef ref = SceneReader::from(state).read_image_ref();
        return ServiceOwner<ImageList>::with_newest(SERVICE_IMAGE_LIST, [&](const ImageList* list) {
            return list && !ref.name.empty() ? list->find(ref.name) : nullptr;
        });
    });
}

extern "C" void list_save_image_ref(const SaveState* state, ImageId id) noexcept {
    guarded([&] { SceneWriter::from(state).write_image_ref(id ? as_entry(id)->image.name : std::string()); });
}

ImageListService make_service() {
    ImageListService service{};
    service.image_name = list_image_name;
    service.image_size = list_image_size;
    service.image_value = list_image_value;
    service.image_rgb = list_image_rgb;
    service.load_image_ref = list_load_image_ref;
    service.save_image_ref = list_save_image_ref;
    return service;
}

void check_image(const Image& image) {
    if (image.name.empty()) throw HostError("an image needs a name");
    if (image.channels != 1 && image.channels != 3 && image.channels != 4) {
        throw HostError(image.name + ": " + std::to_string(image.channels) + " channels (1, 3 or 4 expected)");
    }
    if (image.width <= 0 || image.height <= 0) {
        throw HostError(image.name + ": size " + std::to_string(image.width) + " x " + std::to_string(image.height) +
                        " is not positive");
    }
    // Below 4 x 2^62: no wrap in 64 bits, whatever the width of size_t.
    const uint64_t samples = uint64_t(image.channels) * uint64_t(image.width) * uint64_t(image.height);
    if (uint64_t{image.pixels.size()} != samples) {
        throw HostError(image.name + ": " + std::to_string(image.pixels.size()) + " samples do not fill " +
                        std::to_string(image.width) + " x " + std::to_string(image.height) + " x " +
                        std::to_string(image.channels));
    }
}

}  // namespace

ImageList::ImageList() : service_(make_service()), offer_(SERVICE_IMAGE_LIST, &service_, this) {}

ImageList::~ImageList() = default;

ImageId ImageList::add(Image image) {
    check_image(image);
    if (find(image.name) != nullptr) throw HostError(image.name + ": an image of that name is already loaded");
    entries_.push_back(std::make_unique<const Entry>(std::move(image)));
    const Entry* added = entries_.back().get();
    try {
        by_name_.emplace(added->image.name, added);
    } catch (...) {
        entries_.pop_back();  // no image that find cannot see
        throw;
    }
    return const_cast<Entry*>(added);
}

const Image& ImageList::image(ImageId id) { return as_entry(id)->image; }

ImageId ImageList::find(std::string_view name) const {
    const auto found = by_name_.find(name);
    return found == by_name_.end() ? nullptr : const_cast<Entry*>(found->second);
}

}  // namespace host
