#include "zhost/image_read.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string_view>

#include "zhost/error.h"
#include "zhost/one_line.h"

namespace zhost {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t MB = uint64_t{1} << 20;
// Largest image zhost reads: 2^28 pixels (16384 x 16384), far beyond any
// render, small enough that sample counts never overflow.
constexpr uint64_t MAX_PIXELS = uint64_t{1} << 28;
// Rows are decoded in bands of at most BAND_BYTES (all channels as floats)
// and BAND_ROWS rows, a multiple of the rows of every EXR chunk.
constexpr uint64_t BAND_BYTES = 32 * MB;
constexpr uint64_t BAND_ROWS = 256;

uint64_t limit_given = 0;  // by --max-image-mb; 0 for the default

// a * b, or the largest value when that overflows.
uint64_t times(uint64_t a, uint64_t b) {
    uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

uint64_t plus(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

uint64_t megabytes(uint64_t bytes) { return bytes / MB + (bytes % MB != 0); }

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

// An image file opened at the part to read.
struct OpenImage {
    std::string path;
    std::unique_ptr<OIIO::ImageInput> input;
    int subimage = 0;
    OIIO::ImageSpec spec;
    std::vector<std::string> names;
};

void check_readable(const std::string& path) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (!fs::exists(status)) throw Error(path + ": no such file");
    if (fs::is_directory(status)) throw Error(path + ": is a directory, not an image");
    if (::access(path.c_str(), R_OK) != 0) throw Error(path + ": cannot read the file: " + std::strerror(errno));
}

// The part called `wanted` (its index or its name); the first for none.
int find_subimage(OIIO::ImageInput& input, const std::string& wanted, const std::string& path) {
    if (wanted.empty()) return 0;
    std::vector<std::string> parts;
    for (int n = 0; input.seek_subimage(n, 0); ++n) {
        const std::string name = input.spec().get_string_attribute("oiio:subimagename");
        if (wanted == std::to_string(n) || (!name.empty() && wanted == name)) return n;
        parts.push_back(std::to_string(n) + (name.empty() ? "" : " " + name));
    }
    input.geterror();  // the failed seek past the last part
    throw Error(path + ": no part \"" + wanted + "\" for --subimage (parts: " + joined(parts) + ")");
}

void check_shape(const OpenImage& image) {
    const OIIO::ImageSpec& s = image.spec;
    if (s.deep) throw Error(image.path + ": deep images are not supported: flatten them first");
    if (s.width < 1 || s.height < 1 || s.full_width < 1 || s.full_height < 1 || s.depth != 1 || s.nchannels < 1) {
        throw Error(image.path + ": not a flat 2D image");
    }
    // Windows whose ends lie beyond 32-bit coordinates cannot be placed.
    for (const int64_t end : {int64_t{s.x} + s.width, int64_t{s.y} + s.height, int64_t{s.full_x} + s.full_width,
                              int64_t{s.full_y} + s.full_height}) {
        if (end > INT32_MAX) throw Error(image.path + ": a window of the image reaches beyond 32-bit coordinates");
    }
    for (const auto& [width, height] : {std::pair{s.width, s.height}, std::pair{s.full_width, s.full_height}}) {
        if (uint64_t(width) * uint64_t(height) > MAX_PIXELS) {
            throw Error(image.path + ": image of " + std::to_string(width) + "x" + std::to_string(height) +
                        " pixels is too large");
        }
    }
}

OpenImage open_image(const std::string& path, const std::string& subimage = "") {
    check_readable(path);
    OpenImage image;
    image.path = path;
    image.input = OIIO::ImageInput::open(path);
    if (!image.input) {
        const std::string reason = first_line(OIIO::geterror());
        throw Error(path + ": not an image that can be read" + (reason.empty() ? "" : " (" + reason + ")"));
    }
    image.subimage = find_subimage(*image.input, subimage, path);
    image.input->seek_subimage(image.subimage, 0);
    image.spec = image.input->spec();
    check_shape(image);
    for (int c = 0; c < image.spec.nchannels; ++c) {
        image.names.push_back(c < int(image.spec.channelnames.size()) ? image.spec.channelnames[std::size_t(c)]
                                                                      : "channel " + std::to_string(c));
    }
    return image;
}

// The channels that answer to `wanted`: the one of that name; else those of
// that name but for case; else those of layers, "LAYER.wanted" in any case.
std::vector<int> candidates(const std::vector<std::string>& names, const std::string& wanted) {
    std::vector<int> found;
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == wanted) return {int(i)};
    for (std::size_t i = 0; i < names.size(); ++i)
        if (same_ignoring_case(names[i], wanted)) found.push_back(int(i));
    if (!found.empty()) return found;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string_view name = names[i];
        if (name.size() > wanted.size() + 1 && name[name.size() - wanted.size() - 1] == '.' &&
            same_ignoring_case(name.substr(name.size() - wanted.size()), wanted)) {
            found.push_back(int(i));
        }
    }
    return found;
}

// The one channel that answers to `wanted`, or -1. Several are refused,
// naming each and the option (`hint`) that chooses between them.
int find_one(const OpenImage& image, const std::string& wanted, const std::string& hint) {
    const std::vector<int> found = candidates(image.names, wanted);
    if (found.size() < 2) return found.empty() ? -1 : found[0];
    std::vector<std::string> names;
    for (int c : found) names.push_back(image.names[std::size_t(c)]);
    throw Error(image.path + ": " + std::to_string(found.size()) + " candidate " + wanted + " channels (" +
                joined(names) + ")" + (hint.empty() ? "" : "; choose one with " + hint));
}

Error no_channel(const OpenImage& image, const std::string& wanted) {
    return Error(image.path + ": no channel \"" + wanted + "\" (channels: " + joined(image.names) + ")");
}

int depth_source(const OpenImage& image, const ChannelChoice& choice) {
    constexpr const char* HINT = "--depth-channel";
    if (!choice.depth_channel.empty()) {
        const int named = find_one(image, choice.depth_channel, HINT);
        if (named < 0) throw no_channel(image, choice.depth_channel);
        return named;
    }
    if (!choice.layer.empty()) {
        const int in_layer = find_one(image, choice.layer + ".Z", HINT);
        if (in_layer >= 0) return in_layer;
    }
    int source = find_one(image, "Z", HINT);
    if (source < 0 && image.names.size() == 1) source = 0;
    if (source < 0) {
        throw Error(image.path + ": no Z channel and more than one channel (" + joined(image.names) +
                    "); name the depth channel with --depth-channel");
    }
    return source;
}

// The channels that make RGBA: R, G and B (or the one grey channel), then A;
// -1 for an alpha the image does not have.
std::vector<int> colour_sources(const OpenImage& image, const ChannelChoice& choice) {
    const std::string prefix = choice.layer.empty() ? "" : choice.layer + ".";
    const auto find = [&](const char* name) { return find_one(image, prefix + name, "--render-layer"); };
    const int alpha = find("A");
    std::vector<int> colour = {find("R"), find("G"), find("B")};
    if (std::count(colour.begin(), colour.end(), -1) > 0) {
        const int grey_channels = int(image.names.size()) - (alpha >= 0 ? 1 : 0);
        if (!prefix.empty() || grey_channels != 1) {
            throw Error(image.path + ": no " + prefix + "R, " + prefix + "G and " + prefix + "B channels (channels: " +
                        joined(image.names) + ")");
        }
        const int grey = alpha == 0 ? 1 : 0;
        colour = {grey, grey, grey};
    }
    colour.push_back(alpha);
    return colour;
}

// One channel of an image being read: the file's channel (or, for -1, the
// value `missing`), and the value where the file's data window does not
// reach. Integer samples keep their numbers when `numeric` (depth), and are
// taken as fractions of their range otherwise (colour).
struct Pick {
    int channel = -1;
    float missing = 0;
    float outside = 0;
    bool numeric = false;
};

bool is_integer(OIIO::TypeDesc type) {
    return type.basetype >= OIIO::TypeDesc::UINT8 && type.basetype <= OIIO::TypeDesc::INT64;
}

template <typename T>
void widen(const std::vector<unsigned char>& raw, std::vector<float>& out) {
    out.resize(raw.size() / sizeof(T));
    for (std::size_t i = 0; i < out.size(); ++i) {
        T value;
        std::memcpy(&value, &raw[i * sizeof(T)], sizeof(T));
        out[i] = float(value);
    }
}

void read_rows(OpenImage& image, int y0, int y1, int chbegin, int chend, OIIO::TypeDesc type, void* data) {
    if (!image.input->read_scanlines(image.subimage, 0, y0, y1, 0, chbegin, chend, type, data)) {
        throw Error(image.path + ": cannot read the pixels (" + first_line(image.input->geterror()) + ")");
    }
}

// Rows y0 to y1 of an integer channel as the numbers stored.
void read_numbers(OpenImage& image, int channel, int y0, int y1, std::vector<float>& out) {
    const OIIO::TypeDesc type = image.spec.channelformat(channel);
    std::vector<unsigned char> raw(std::size_t(y1 - y0) * std::size_t(image.spec.width) * type.size());
    read_rows(image, y0, y1, channel, channel + 1, type, raw.data());
    switch (type.basetype) {
    case OIIO::TypeDesc::UINT8: return widen<uint8_t>(raw, out);
    case OIIO::TypeDesc::INT8: return widen<int8_t>(raw, out);
    case OIIO::TypeDesc::UINT16: return widen<uint16_t>(raw, out);
    case OIIO::TypeDesc::INT16: return widen<int16_t>(raw, out);
    case OIIO::TypeDesc::UINT32: return widen<uint32_t>(raw, out);
    case OIIO::TypeDesc::INT32: return widen<int32_t>(raw, out);
    case OIIO::TypeDesc::UINT64: return widen<uint64_t>(raw, out);
    default: return widen<int64_t>(raw, out);
    }
}

// One image being filled row by row: its picks, the row that stands where
// the data window does not reach, the row being filled (whose columns
// beyond the data window keep those values), and for each pick that keeps
// integers as numbers, its rows of the current band.
struct Target {
    std::vector<Pick> picks;
    host::Image image;
    std::vector<float> outside_row;
    std::vector<float> row;
    std::vector<std::vector<float>> numbers;

    bool reads_numbers(std::size_t k, const OIIO::ImageSpec& spec) const {
        return picks[k].numeric && picks[k].channel >= 0 && is_integer(spec.channelformat(picks[k].channel));
    }
};

// Memory is reserved for the whole image (address space only: pages are
// taken as rows are stored), and rows are stored as the decoder delivers
// them, so a file that holds less than it declares costs only what it holds.
void start_target(Target& target, const OpenImage& image) {
    const OIIO::ImageSpec& s = image.spec;
    target.image.name = image.path;
    target.image.width = s.full_width;
    target.image.height = s.full_height;
    target.image.channels = int32_t(target.picks.size());
    target.image.pixels.reserve(std::size_t(s.full_width) * std::size_t(s.full_height) * target.picks.size());
    for (int32_t x = 0; x < s.full_width; ++x)
        for (const Pick& pick : target.picks) target.outside_row.push_back(pick.outside);
    target.row = target.outside_row;
    target.numbers.resize(target.picks.size());
}

void add_outside_rows(Target& target, int32_t up_to) {
    while (target.image.pixels.size() < std::size_t(up_to) * target.outside_row.size()) {
        target.image.pixels.insert(target.image.pixels.end(), target.outside_row.begin(), target.outside_row.end());
    }
}

void check_limit(const OpenImage& image, std::size_t channels, uint64_t band_bytes) {
    const OIIO::ImageSpec& s = image.spec;
    check_decoded_size(image.path, s.full_width, s.full_height, int(channels), band_bytes);
}

// Stores data row y (of the band that starts at y0) as the target's row.
void store_row(Target& target, const OIIO::ImageSpec& s, const float* band_row, int y, int y0) {
    add_outside_rows(target, y - s.full_y);
    const std::size_t step = target.picks.size();
    const int left = std::max(s.x, s.full_x), right = std::min(s.x + s.width, s.full_x + s.full_width);
    const std::size_t band_offset = std::size_t(y - y0) * std::size_t(s.width);
    for (int x = left; x < right; ++x) {
        float* pixel = &target.row[std::size_t(x - s.full_x) * step];
        const std::size_t column = std::size_t(x - s.x);
        const float* in = band_row + column * std::size_t(s.nchannels);
        for (std::size_t k = 0; k < step; ++k) {
            const Pick& pick = target.picks[k];
            if (pick.channel < 0) {
                pixel[k] = pick.missing;
            } else if (!target.numbers[k].empty()) {
                pixel[k] = target.numbers[k][band_offset + column];
            } else {
                pixel[k] = in[pick.channel];
            }
        }
    }
    target.image.pixels.insert(target.image.pixels.end(), target.row.begin(), target.row.end());
}

// Decodes the image into one image per target, each the size of the display
// window, band after band of rows.
void decode(OpenImage& image, std::vector<Target>& targets) {
    const OIIO::ImageSpec& s = image.spec;
    const uint64_t row_bytes = times(uint64_t(s.width), uint64_t(s.nchannels) * sizeof(float));
    const int band_rows = int(std::clamp<uint64_t>(BAND_BYTES / row_bytes, 1, BAND_ROWS));
    std::size_t channels = 0;
    for (const Target& target : targets) channels += target.picks.size();
    check_limit(image, channels, times(row_bytes, uint64_t(band_rows)));
    for (Target& target : targets) start_target(target, image);

    const int top = std::max(s.y, s.full_y), bottom = std::min(s.y + s.height, s.full_y + s.full_height);
    const bool columns_meet = std::max(s.x, s.full_x) < std::min(s.x + s.width, s.full_x + s.full_width);
    std::vector<float> band(std::size_t(band_rows) * std::size_t(s.width) * std::size_t(s.nchannels));
    for (int y0 = top; columns_meet && y0 < bottom; y0 += band_rows) {
        const int y1 = std::min(bottom, y0 + band_rows);
        read_rows(image, y0, y1, 0, s.nchannels, OIIO::TypeDesc::FLOAT, band.data());
        for (Target& target : targets)
            for (std::size_t k = 0; k < target.picks.size(); ++k)
                if (target.reads_numbers(k, s)) read_numbers(image, target.picks[k].channel, y0, y1, target.numbers[k]);
        for (int y = y0; y < y1; ++y) {
            const float* band_row = &band[std::size_t(y - y0) * std::size_t(s.width) * std::size_t(s.nchannels)];
            for (Target& target : targets) store_row(target, s, band_row, y, y0);
        }
    }
    for (Target& target : targets) add_outside_rows(target, s.full_height);
}

host::Image decode_one(OpenImage& image, std::vector<Pick> picks) {
    std::vector<Target> targets(1);
    targets[0].picks = std::move(picks);
    decode(image, targets);
    return std::move(targets[0].image);
}

Pick depth_pick(int channel) { return {channel, 0.0f, NO_DEPTH, true}; }

std::vector<Pick> rgba_picks(const std::vector<int>& sources) {
    return {{sources[0]}, {sources[1]}, {sources[2]}, {sources[3], 1.0f}};
}

}  // namespace

uint64_t default_max_image_bytes() {
    const long pages = ::sysconf(_SC_PHYS_PAGES), page = ::sysconf(_SC_PAGE_SIZE);
    uint64_t memory = pages > 0 && page > 0 ? uint64_t(pages) * uint64_t(page) : uint64_t{4} << 30;
    std::ifstream cgroup("/sys/fs/cgroup/memory.max");  // "max" when there is no limit
    uint64_t limit = 0;
    if (cgroup >> limit && limit > 0) memory = std::min(memory, limit);
    return memory / 8;
}

uint64_t max_image_bytes() { return limit_given > 0 ? limit_given : default_max_image_bytes(); }

void set_max_image_bytes(uint64_t bytes) { limit_given = bytes; }

void check_decoded_size(const std::string& path, int64_t width, int64_t height, int channels, uint64_t extra) {
    const uint64_t samples = times(times(uint64_t(width), uint64_t(height)), uint64_t(channels));
    const uint64_t bytes = plus(times(samples, sizeof(float)), extra);
    const uint64_t limit = max_image_bytes();
    if (bytes <= limit) return;
    throw Error(path + ": " + std::to_string(width) + "x" + std::to_string(height) + " pixels of " +
                std::to_string(channels) + (channels == 1 ? " channel" : " channels") + " take " +
                std::to_string(megabytes(bytes)) + " MB, beyond the limit of " + std::to_string(limit >> 20) +
                " MB (--max-image-mb)");
}

std::vector<std::string> channel_names(const std::string& path) { return open_image(path).names; }

host::Image read_channels(const std::string& path, const std::vector<std::string>& channels) {
    OpenImage image = open_image(path);
    std::vector<Pick> picks;
    for (const std::string& wanted : channels) {
        const int found = find_one(image, wanted, "");
        if (found < 0) throw no_channel(image, wanted);
        picks.push_back({found});
    }
    return decode_one(image, std::move(picks));
}

host::Image read_depth(const std::string& path, const ChannelChoice& choice) {
    OpenImage image = open_image(path, choice.subimage);
    return decode_one(image, {depth_pick(depth_source(image, choice))});
}

host::Image read_rgba(const std::string& path, const ChannelChoice& choice) {
    OpenImage image = open_image(path, choice.subimage);
    return decode_one(image, rgba_picks(colour_sources(image, choice)));
}

RgbaAndDepth read_rgba_and_depth(const std::string& path, const ChannelChoice& choice, const std::string& depth_path) {
    OpenImage image = open_image(path, choice.subimage);
    const std::vector<int> colour = colour_sources(image, choice);
    RgbaAndDepth out;
    out.source.header = image.spec;
    for (int c : colour) out.source.types.push_back(image.spec.channelformat(c >= 0 ? c : colour[0]));
    std::vector<Target> targets(depth_path.empty() ? 2 : 1);
    targets[0].picks = rgba_picks(colour);
    if (depth_path.empty()) {
        const int depth = depth_source(image, choice);
        targets[1].picks = {depth_pick(depth)};
        out.source.types.push_back(image.spec.channelformat(depth));
    }
    decode(image, targets);
    out.rgba = std::move(targets[0].image);
    if (depth_path.empty()) {
        out.depth = std::move(targets[1].image);
    } else {
        OpenImage depth_image = open_image(depth_path);
        const int depth = depth_source(depth_image, {"", "", choice.depth_channel});
        out.source.types.push_back(depth_image.spec.channelformat(depth));
        out.depth = decode_one(depth_image, {depth_pick(depth)});
    }
    return out;
}

}  // namespace zhost
