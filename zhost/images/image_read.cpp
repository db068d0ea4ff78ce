#include "zhost/images/image_read.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>

#include "host/error.h"
#include "zhost/files/staging.h"
#include "zhost/text/error.h"
#include "zhost/text/one_line.h"
#include "zhost/text/suggest.h"

namespace zhost {

// An image file opened at the part to read.
struct ImageFile::Open {
    std::string path;
    // The file's one descriptor, which every reader of it reads through;
    // none for a format whose reader opens the file itself.
    std::unique_ptr<OIIO::Filesystem::IOProxy> file;
    std::unique_ptr<OIIO::ImageInput> input;
    int subimage = 0;
    OIIO::ImageSpec spec;
    std::vector<std::string> names;
    Window window;  // the window read into
    HeldImages* account = nullptr;  // what its images count against
};

namespace {

namespace fs = std::filesystem;

constexpr uint64_t MB = uint64_t{1} << 20;
// Largest image zhost reads: 2^28 pixels (16384 x 16384), far beyond any
// render, small enough that sample counts never overflow.
constexpr uint64_t MAX_PIXELS = uint64_t{1} << 28;
// Rows are decoded in bands of BAND_ROWS rows, or of one EXR chunk where
// chunks are taller, but of at most BAND_BYTES (the channels read, as
// floats): enough chunks for every decoding thread, small enough to be
// copied out while still in the processor's cache.
constexpr uint64_t BAND_BYTES = 32 * MB;
constexpr uint64_t BAND_ROWS = 64;

// By default an input may decode to at most DECODED_PER_FILE_BYTE times its
// file's size, or SMALL_INPUT_BYTES where that is more: a file of a few bytes
// that declares a huge image (a display window far beyond its data, a table
// of missing chunks) is refused at a small cost, while compressed renders
// (zip shrinks floats about 2 to 3 times, empty frames far more) and every
// 4K frame read as RGBA and Z fit.
constexpr uint64_t DECODED_PER_FILE_BYTE = 64;
constexpr uint64_t SMALL_INPUT_BYTES = 256 * MB;

// a * b, or the largest value when that overflows.
uint64_t times(uint64_t a, uint64_t b) {
    uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

uint64_t plus(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

uint64_t megabytes(uint64_t bytes) { return bytes / MB + (bytes % MB != 0); }

Error beyond_the_limit(const std::string& path, uint64_t total, uint64_t limit) {
    return Error(path + ": the command's images would take " + std::to_string(megabytes(total)) +
                 " MB with this one, beyond the limit of " + std::to_string(limit >> 20) + " MB (--max-image-mb)");
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

using OpenImage = ImageFile::Open;

Window display_of(const OIIO::ImageSpec& s) { return {s.full_x, s.full_y, s.full_width, s.full_height}; }
Window data_of(const OIIO::ImageSpec& s) { return {s.x, s.y, s.width, s.height}; }

// A window's position or length scaled by `ratio`, within 32 bits.
int32_t scaled(int64_t value, double ratio) {
    return int32_t(std::clamp(int64_t(std::llround(double(value) * ratio)), int64_t{INT32_MIN} / 2, int64_t{INT32_MAX} / 2));
}

// OpenEXR's C core decodes scan-line files about twice as fast as OpenEXR's
// C++ library (which converts them sample by sample), but this OpenImageIO's
// reader on it fails on DWAA and DWAB chunks and decodes the float and
// integer channels of B44 and B44A files wrong. It reads the scan-line files
// of the compressions below, which the tests decode bit for bit against the
// C++ library; tiled and multi-resolution files and every other compression
// go through the C++ library.
bool core_reads(const OIIO::ImageSpec& spec) {
    static const std::array<std::string_view, 6> COMPRESSIONS = {"none", "rle", "zips", "zip", "piz", "pxr24"};
    const std::string compression = spec.get_string_attribute("compression", "none");
    const std::string_view name = std::string_view(compression).substr(0, compression.find(':'));
    return spec.tile_width == 0 && std::find(COMPRESSIONS.begin(), COMPRESSIONS.end(), name) != COMPRESSIONS.end();
}

// OpenImageIO picks OpenEXR's reader when an input is created, by a global
// attribute: set it for this one input only. Through `file` when given.
std::unique_ptr<OIIO::ImageInput> open_input(const std::string& path, bool exr_core, OIIO::Filesystem::IOProxy* file) {
    static std::mutex choosing;
    const std::lock_guard lock(choosing);
    OIIO::attribute("openexr:core", exr_core ? 1 : 0);
    if (file != nullptr) file->seek(0);
    std::unique_ptr<OIIO::ImageInput> input = OIIO::ImageInput::open(path, nullptr, file);
    OIIO::attribute("openexr:core", 0);
    return input;
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
            throw Error(image.path + ": image of " + size_text(width, height) + " pixels is too large");
        }
    }
}

// Opens the image through the file's descriptor: the file is opened once,
// however often it is read. A format whose reader cannot read through it,
// and a file that is refused, are opened by path (the refusal says why).
void open_or_refuse(OpenImage& image, bool exr_core) {
    image.input.reset();
    if (image.file) image.input = open_input(image.path, exr_core, image.file.get());
    if (image.input) return;
    OIIO::geterror();
    image.file.reset();
    image.input = open_input(image.path, exr_core, nullptr);
    if (!image.input) {
        const std::string reason = first_line(OIIO::geterror());
        throw Error(image.path + ": not an image that can be read" + (reason.empty() ? "" : " (" + reason + ")"));
    }
}

void seek_part(OpenImage& image) {
    if (!image.input->seek_subimage(image.subimage, 0)) {
        throw Error(image.path + ": cannot read the part (" + first_line(image.input->geterror()) + ")");
    }
    image.spec = image.input->spec();
}

OpenImage open_image(const std::string& path, const std::string& subimage = "") {
    check_input_file(path);
    OpenImage image;
    image.path = path;
    image.file = std::make_unique<OIIO::Filesystem::IOFile>(path, OIIO::Filesystem::IOProxy::Read);
    if (!image.file->opened()) image.file.reset();
    open_or_refuse(image, true);
    image.subimage = find_subimage(*image.input, subimage, path);
    seek_part(image);
    if (std::strcmp(image.input->format_name(), "openexr") == 0 && !core_reads(image.spec)) {
        open_or_refuse(image, false);
        seek_part(image);
    }
    check_shape(image);
    image.window = display_of(image.spec);
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

bool is_tiled(const OIIO::ImageSpec& spec) { return spec.tile_width > 0; }

// Rows y0 to y1 of the data window, all its columns; for a tiled image y0
// lies on a row of tiles and y1 too or at the window's end. Some readers
// (TIFF) report a strip they could not read only through geterror() and
// return success: any error at all is a refusal.
void read_rows(OpenImage& image, int y0, int y1, int chbegin, int chend, OIIO::TypeDesc type, void* data) {
    const OIIO::ImageSpec& s = image.spec;
    const bool read =
        is_tiled(s) ? image.input->read_tiles(image.subimage, 0, s.x, s.x + s.width, y0, y1, s.z, s.z + 1, chbegin,
                                              chend, type, data)
                    : image.input->read_scanlines(image.subimage, 0, y0, y1, s.z, chbegin, chend, type, data);
    const std::string error = image.input->geterror();
    if (!read || !error.empty()) {
        throw Error(image.path + ": cannot read the pixels (" +
                    (error.empty() ? std::string("the decoder failed") : first_line(error)) + ")");
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

// One image being filled from the bands of rows: its picks and where their
// samples go. An interleaved image (no `planes`) grows by whole rows as they
// are decoded; `row` is the row being filled, whose columns beyond the data
// window keep the values that stand where it does not reach. Planes (a
// frame's buffers, one per pick, each of the size of the window read into) are
// written in place. For each pick that keeps integers as numbers, `numbers`
// holds its rows of the current band.
struct Target {
    std::vector<Pick> picks;
    host::Image image;
    std::vector<float*> planes;
    std::vector<float> outside_row;
    std::vector<float> row;
    std::vector<std::vector<float>> numbers;

    bool reads_numbers(std::size_t k, const OIIO::ImageSpec& spec) const {
        return picks[k].numeric && picks[k].channel >= 0 && is_integer(spec.channelformat(picks[k].channel));
    }
};

// Rows of float samples of the channels [first, end) as the decoder gives
// them, all channels of a pixel side by side, for rows [y0, y0 + rows).
struct Band {
    int first = 0;
    int end = 0;
    int y0 = 0;
    std::vector<float> samples;

    std::size_t channels() const { return std::size_t(end - first); }
};

// Rows of one chunk: of a row of tiles, or of an EXR file's scan lines with
// the image's compression; decoding bands of whole chunks decodes no chunk
// twice. Other formats' scan lines: 1.
int chunk_rows(const OpenImage& image) {
    if (is_tiled(image.spec)) return std::max(image.spec.tile_height, 1);
    if (std::strcmp(image.input->format_name(), "openexr") != 0) return 1;
    return exr_chunk_rows(image.spec.get_string_attribute("compression"));
}

// Memory is reserved for the whole image (address space only: pages are
// taken as rows are stored), and rows are stored as the decoder delivers
// them, so a file that holds less than it declares costs only what it holds.
void start_target(Target& target, const OpenImage& image) {
    const Window& w = image.window;
    target.numbers.resize(target.picks.size());
    if (!target.planes.empty()) return;
    target.image.name = image.path;
    target.image.width = w.width;
    target.image.height = w.height;
    target.image.channels = int32_t(target.picks.size());
    target.image.pixels.reserve(std::size_t(w.width) * std::size_t(w.height) * target.picks.size());
    for (int32_t x = 0; x < w.width; ++x)
        for (const Pick& pick : target.picks) target.outside_row.push_back(pick.outside);
    target.row = target.outside_row;
}

// Rows of the window read into from the target's next one up to `up_to` that
// the data window does not reach.
void add_outside_rows(Target& target, const Window& w, int32_t from, int32_t up_to) {
    if (target.planes.empty()) {
        while (target.image.pixels.size() < std::size_t(up_to) * target.outside_row.size()) {
            target.image.pixels.insert(target.image.pixels.end(), target.outside_row.begin(), target.outside_row.end());
        }
        return;
    }
    const std::size_t width = std::size_t(w.width);
    for (std::size_t k = 0; k < target.picks.size(); ++k) {
        float* plane = target.planes[k];
        std::fill(plane + std::size_t(from) * width, plane + std::size_t(up_to) * width, target.picks[k].outside);
    }
}

uint64_t window_bytes(const Window& w, std::size_t channels) {
    return times(times(uint64_t(w.width), uint64_t(w.height)), times(channels, sizeof(float)));
}

void check_limit(const OpenImage& image, std::size_t channels, uint64_t band_bytes) {
    const Window& w = image.window;
    check_decoded_size(image.path, w.width, w.height, int(channels), band_bytes, image.account);
}

// `count` samples from every `from_step`th float to every `to_step`th.
void copy_strided(const float* from, std::size_t from_step, float* to, std::size_t to_step, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) to[i * to_step] = from[i * from_step];
}

void fill_strided(float value, float* to, std::size_t to_step, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) to[i * to_step] = value;
}

// Stores data row y of the band in the target.
void store_row(Target& target, const OIIO::ImageSpec& s, const Window& w, const Band& band, int y) {
    const bool in_place = !target.planes.empty();
    if (!in_place) add_outside_rows(target, w, 0, y - w.y);
    const std::size_t step = in_place ? 1 : target.picks.size();
    const int left = std::max(s.x, w.x), right = std::min(s.x + s.width, w.x + w.width);
    const std::size_t columns = std::size_t(right - left);
    const std::size_t band_offset = std::size_t(y - band.y0) * std::size_t(s.width) + std::size_t(left - s.x);
    const float* in = band.samples.data() + band_offset * band.channels();
    const std::size_t row_start = std::size_t(y - w.y) * std::size_t(w.width);
    for (std::size_t k = 0; k < target.picks.size(); ++k) {
        const Pick& pick = target.picks[k];
        float* row = in_place ? target.planes[k] + row_start : target.row.data() + k;
        float* out = row + std::size_t(left - w.x) * step;
        if (pick.channel < 0) {
            fill_strided(pick.missing, out, step, columns);
        } else if (!target.numbers[k].empty()) {
            copy_strided(target.numbers[k].data() + band_offset, 1, out, step, columns);
        } else {
            copy_strided(in + (pick.channel - band.first), band.channels(), out, step, columns);
        }
        if (in_place) {
            std::fill(row, out, pick.outside);
            std::fill(out + columns, row + w.width, pick.outside);
        }
    }
    if (!in_place) target.image.pixels.insert(target.image.pixels.end(), target.row.begin(), target.row.end());
}

// The channels that the targets' picks read, from the first to the last.
Band band_of(const std::vector<Target>& targets) {
    Band band{INT_MAX, 0, 0, {}};
    for (const Target& target : targets) {
        for (const Pick& pick : target.picks) {
            if (pick.channel < 0) continue;
            band.first = std::min(band.first, pick.channel);
            band.end = std::max(band.end, pick.channel + 1);
        }
    }
    if (band.end <= band.first) band.first = band.end = 0;
    return band;
}

// Rows per band of rows `row_bytes` long (the channels read, as decoded):
// whole chunks, and at most the data window's height. `passing_bytes` gets
// what decoding takes beside what is kept: the band, and for a tiled image
// one tile of every channel.
int band_height(const OpenImage& image, uint64_t row_bytes, uint64_t& passing_bytes) {
    const OIIO::ImageSpec& s = image.spec;
    const uint64_t chunk = uint64_t(chunk_rows(image));
    uint64_t rows = std::clamp<uint64_t>(BAND_BYTES / row_bytes, 1, std::max<uint64_t>(BAND_ROWS, chunk));
    rows = std::min(times(plus(rows, chunk - 1) / chunk, chunk), uint64_t(s.height));
    passing_bytes = times(row_bytes, rows);
    if (is_tiled(s)) {
        const uint64_t tile = times(times(uint64_t(s.tile_width), uint64_t(s.tile_height)), uint64_t(s.nchannels));
        passing_bytes = plus(passing_bytes, times(tile, sizeof(float)));
    }
    return int(rows);
}

// Rows per band for the channels of `band`, decoded as floats.
int band_rows(const OpenImage& image, const Band& band, uint64_t& passing_bytes) {
    const uint64_t channels = std::max<std::size_t>(band.channels(), 1);
    return band_height(image, times(uint64_t(image.spec.width), channels * sizeof(float)), passing_bytes);
}

// Throws zhost::Error when the targets' images and the band that decodes
// them would take more than the limit.
void check_targets(const OpenImage& image, const std::vector<Target>& targets) {
    uint64_t band_bytes = 0;
    band_rows(image, band_of(targets), band_bytes);
    std::size_t channels = 0;
    for (const Target& target : targets) channels += target.picks.size();
    check_limit(image, channels, band_bytes);
}

// The first row of the chunk that holds data row `y`. Bands start there and
// end at a chunk's end or the data window's: OpenEXR's C core mishandles
// the buffer of a chunk read in part (and would decode it twice), and tiles
// are read whole.
int band_start(const OpenImage& image, int y) {
    const int chunk = chunk_rows(image);
    return image.spec.y + (y - image.spec.y) / chunk * chunk;
}

// Decodes the image into its targets, each the size of the window read into,
// band after band of rows, reading only the channels that the targets take.
// The memory of targets that are planes is the caller's, held already.
void decode(OpenImage& image, std::vector<Target>& targets) {
    const OIIO::ImageSpec& s = image.spec;
    const Window& w = image.window;
    check_targets(image, targets);
    Band band = band_of(targets);
    uint64_t passing_bytes = 0;
    const int rows_per_band = band_rows(image, band, passing_bytes);
    uint64_t kept_bytes = 0;
    for (const Target& target : targets)
        if (target.planes.empty()) kept_bytes = plus(kept_bytes, window_bytes(w, target.picks.size()));
    hold_image_bytes(image.account, image.path, kept_bytes, passing_bytes);
    for (Target& target : targets) start_target(target, image);

    const int top = std::max(s.y, w.y), bottom = std::min(s.y + s.height, w.y + w.height);
    const bool columns_meet = std::max(s.x, w.x) < std::min(s.x + s.width, w.x + w.width);
    const bool rows_meet = columns_meet && band.channels() > 0 && top < bottom;
    if (rows_meet) band.samples.resize(std::size_t(rows_per_band) * std::size_t(s.width) * band.channels());
    for (Target& target : targets)
        if (!target.planes.empty()) add_outside_rows(target, w, 0, rows_meet ? top - w.y : w.height);
    for (int y0 = band_start(image, top); rows_meet && y0 < bottom; y0 += rows_per_band) {
        const int y1 = std::min(s.y + s.height, y0 + rows_per_band);
        band.y0 = y0;
        read_rows(image, y0, y1, band.first, band.end, OIIO::TypeDesc::FLOAT, band.samples.data());
        for (Target& target : targets)
            for (std::size_t k = 0; k < target.picks.size(); ++k)
                if (target.reads_numbers(k, s)) read_numbers(image, target.picks[k].channel, y0, y1, target.numbers[k]);
        for (int y = std::max(y0, top); y < std::min(y1, bottom); ++y)
            for (Target& target : targets) store_row(target, s, w, band, y);
    }
    for (Target& target : targets) {
        if (target.planes.empty()) {
            add_outside_rows(target, w, 0, w.height);
        } else if (rows_meet) {
            add_outside_rows(target, w, bottom - w.y, w.height);
        }
    }
}

host::Image decode_one(OpenImage& image, std::vector<Pick> picks) {
    std::vector<Target> targets(1);
    targets[0].picks = std::move(picks);
    decode(image, targets);
    return std::move(targets[0].image);
}

// Decodes the image into planes of the size of the window read into, one per pick
// of the target.
void decode_into(OpenImage& image, Target target, std::vector<float*> planes) {
    std::vector<Target> targets{std::move(target)};
    targets[0].planes = std::move(planes);
    decode(image, targets);
}

Target target_of(std::vector<Pick> picks) {
    Target target;
    target.picks = std::move(picks);
    return target;
}

// A frame for a render. Memory that runs out means that the command's images
// do not fit together, as for any image.
host::Frame new_frame(const Window& window, int32_t number) {
    try {
        return host::Frame(window.width, window.height, number);
    } catch (const host::HostError&) {
        throw std::bad_alloc();
    }
}

Pick depth_pick(int channel) { return {channel, 0.0f, NO_DEPTH, true}; }

std::vector<Pick> rgba_picks(const std::vector<int>& sources) {
    return {{sources[0]}, {sources[1]}, {sources[2]}, {sources[3], 1.0f}};
}

// The colour of an image without its alpha.
std::vector<Pick> rgb_picks(const OpenImage& image, const ChannelChoice& choice) {
    std::vector<Pick> picks = rgba_picks(colour_sources(image, choice));
    picks.pop_back();
    return picks;
}

// An image to be read into its display window, or beside a render.
OpenImage& placed_file(ImageFile& file, const Placement* placement) {
    OpenImage& image = file.open();
    const Window display = display_of(image.spec);
    image.window = placement != nullptr ? window_beside(*placement, display, image.path) : display;
    return image;
}

// The names that an output gives the render's R, G, B and A (`colour`,
// file channels or -1): the file's own, R, G and B for a grey channel, and
// LAYER.A (or A) for an alpha the file lacks.
std::vector<std::string> colour_names(const OpenImage& image, const std::vector<int>& colour, const std::string& layer) {
    const std::string prefix = layer.empty() ? "" : layer + ".";
    std::vector<std::string> names;
    if (colour[0] == colour[1]) {
        names = {prefix + "R", prefix + "G", prefix + "B"};
    } else {
        for (int c = 0; c < 3; ++c) names.push_back(image.names[std::size_t(colour[std::size_t(c)])]);
    }
    names.push_back(colour[3] >= 0 ? image.names[std::size_t(colour[3])] : prefix + "A");
    return names;
}

// The render's channels that the frame does not hold, by name, in file order.
std::vector<std::string> channels_besides(const OpenImage& image, const std::vector<int>& used,
                                          const std::vector<std::string>& frame_names) {
    std::vector<std::string> others;
    for (std::size_t c = 0; c < image.names.size(); ++c) {
        const std::string& name = image.names[c];
        if (std::find(used.begin(), used.end(), int(c)) == used.end() &&
            std::find(frame_names.begin(), frame_names.end(), name) == frame_names.end()) {
            others.push_back(name);
        }
    }
    return others;
}

// Copies the stored samples of a band of rows (channels [first, end) of
// every pixel side by side) into `out`, for the channels `wanted`.
void store_stored_rows(const OpenImage& image, const std::vector<int>& wanted, int first, int end, int y0, int y1,
                       const std::vector<unsigned char>& band, StoredChannels& out) {
    const OIIO::ImageSpec& s = image.spec;
    std::vector<std::size_t> from(wanted.size());
    std::size_t band_pixel = 0;
    for (int c = first; c < end; ++c) {
        for (std::size_t i = 0; i < wanted.size(); ++i)
            if (wanted[i] == c) from[i] = band_pixel;
        band_pixel += s.channelformat(c).size();
    }
    const Window& w = out.window;
    const int left = std::max(s.x, w.x), right = std::min(s.x + s.width, w.x + w.width);
    for (int y = std::max(y0, w.y); y < std::min(y1, w.y + w.height); ++y) {
        for (int x = left; x < right; ++x) {
            const unsigned char* in = band.data() + (std::size_t(y - y0) * std::size_t(s.width) + std::size_t(x - s.x)) * band_pixel;
            const std::size_t pixel = std::size_t(y - w.y) * std::size_t(w.width) + std::size_t(x - w.x);
            for (std::size_t i = 0; i < wanted.size(); ++i)
                std::memcpy(out.sample(pixel, i), in + from[i], out.types[i].size());
        }
    }
}

}  // namespace

std::string size_text(int64_t width, int64_t height) { return std::to_string(width) + "x" + std::to_string(height); }

int exr_chunk_rows(const std::string& compression) {
    const std::string name = compression.substr(0, compression.find(':'));
    if (name == "zip" || name == "pxr24") return 16;
    if (name == "piz" || name == "b44" || name == "b44a" || name == "dwaa") return 32;
    if (name == "dwab") return 256;
    return 1;  // none, rle, zips
}

uint64_t default_max_image_bytes() {
    const long pages = ::sysconf(_SC_PHYS_PAGES), page = ::sysconf(_SC_PAGE_SIZE);
    uint64_t memory = pages > 0 && page > 0 ? uint64_t(pages) * uint64_t(page) : uint64_t{4} << 30;
    std::ifstream cgroup("/sys/fs/cgroup/memory.max");  // "max" when there is no limit
    uint64_t limit = 0;
    if (cgroup >> limit && limit > 0) memory = std::min(memory, limit);
    return memory / 8;
}

void check_decoded_size(const std::string& path, int64_t width, int64_t height, int channels, uint64_t extra,
                        const HeldImages* account) {
    const uint64_t samples = times(times(uint64_t(width), uint64_t(height)), uint64_t(channels));
    const uint64_t bytes = plus(times(samples, sizeof(float)), extra);
    uint64_t limit = account != nullptr ? account->budget().limit() : default_max_image_bytes();
    std::string file_note;
    if (account == nullptr || !account->budget().given()) {
        std::error_code error;
        const uint64_t file_bytes = fs::file_size(path, error);
        const uint64_t allowed = std::max(SMALL_INPUT_BYTES, times(error ? 0 : file_bytes, DECODED_PER_FILE_BYTE));
        if (allowed < limit) {
            limit = allowed;
            file_note = " for a file of " + (file_bytes < MB ? std::to_string(file_bytes) + " bytes"
                                                             : std::to_string(megabytes(file_bytes)) + " MB");
        }
    }
    if (bytes <= limit) return;
    throw Error(path + ": " + size_text(width, height) + " pixels of " + std::to_string(channels) +
                (channels == 1 ? " channel" : " channels") + " take " + std::to_string(megabytes(bytes)) +
                " MB, beyond the limit of " + std::to_string(limit >> 20) + " MB" + file_note + " (--max-image-mb)");
}

void check_not_special_file(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) {
        throw Error(path + ": not a regular file (" + file_kind(status.st_mode) + ")");
    }
}

void check_input_file(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        if (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG) throw Error(path + ": no such file");
        throw Error(path + ": cannot read the file: " + std::strerror(errno));
    }
    if (S_ISDIR(status.st_mode)) throw Error(path + ": is a directory, not an image");
    if (!S_ISREG(status.st_mode)) throw Error(path + ": not a regular file (" + file_kind(status.st_mode) + ")");
    if (::access(path.c_str(), R_OK) != 0) throw Error(path + ": cannot read the file: " + std::strerror(errno));
}

ImageBudget::ImageBudget(uint64_t limit_bytes)
    : limit_(limit_bytes > 0 ? limit_bytes : default_max_image_bytes()), given_(limit_bytes > 0) {}

void ImageBudget::wait_while(const std::function<bool()>& busy) {
    std::unique_lock lock(mutex_);
    released_.wait(lock, [&] { return !busy(); });
}

bool ImageBudget::room_for_a_frame() const {
    if (accounts_.empty()) return true;
    return one_ended_ && plus(held_, largest_ended_) <= limit_;
}

HeldImages::HeldImages(ImageBudget& budget) : budget_(budget) {
    const std::lock_guard lock(budget.mutex_);
    budget.accounts_.push_back(this);
}

HeldImages::~HeldImages() {
    {
        const std::lock_guard lock(budget_.mutex_);
        budget_.held_ -= held_;
        std::erase(budget_.accounts_, this);
        budget_.largest_ended_ = std::max(budget_.largest_ended_, peak_);
        budget_.one_ended_ = true;
    }
    budget_.released_.notify_all();
}

void hold_image_bytes(HeldImages* account, const std::string& path, uint64_t bytes, uint64_t passing) {
    if (account == nullptr) {
        const uint64_t limit = default_max_image_bytes();
        if (plus(bytes, passing) > limit) throw beyond_the_limit(path, plus(bytes, passing), limit);
        return;
    }
    ImageBudget& budget = account->budget_;
    std::unique_lock lock(budget.mutex_);
    const uint64_t limit = budget.limit_;
    const auto total = [&] { return plus(plus(budget.held_, bytes), passing); };
    // A frame read ahead waits for the frames before it to give their
    // images back rather than fail: fewer frames in flight, same limit.
    budget.released_.wait(lock, [&] { return total() <= limit || budget.accounts_.front() == account; });
    if (total() > limit) throw beyond_the_limit(path, total(), limit);
    account->peak_ = std::max(account->peak_, plus(plus(account->held_, bytes), passing));
    account->held_ = plus(account->held_, bytes);
    budget.held_ = plus(budget.held_, bytes);
}

ImageFile::ImageFile(const std::string& path, const std::string& subimage, HeldImages* account)
    : open_(std::make_unique<Open>(open_image(path, subimage))) {
    open_->account = account;
}

ImageFile::~ImageFile() = default;
ImageFile::ImageFile(ImageFile&&) noexcept = default;
ImageFile& ImageFile::operator=(ImageFile&&) noexcept = default;

const std::string& ImageFile::path() const { return open_->path; }

const std::vector<std::string>& ImageFile::channel_names() const { return open_->names; }

std::vector<std::string> channel_names(const std::string& path) { return ImageFile(path).channel_names(); }

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

host::Image read_depth(ImageFile& file, const ChannelChoice& choice, const Placement* placement) {
    OpenImage& image = placed_file(file, placement);
    return decode_one(image, {depth_pick(depth_source(image, choice))});
}

host::Image read_depth(const std::string& path, const ChannelChoice& choice, const Placement* placement) {
    ImageFile file(path, choice.subimage);
    return read_depth(file, choice, placement);
}

host::Image read_rgba(ImageFile& file, const ChannelChoice& choice, const Placement* placement) {
    OpenImage& image = placed_file(file, placement);
    return decode_one(image, rgba_picks(colour_sources(image, choice)));
}

host::Image read_rgba(const std::string& path, const ChannelChoice& choice, const Placement* placement) {
    ImageFile file(path, choice.subimage);
    return read_rgba(file, choice, placement);
}

host::Image read_rgb(ImageFile& file, const ChannelChoice& choice, const Placement* placement) {
    OpenImage& image = placed_file(file, placement);
    return decode_one(image, rgb_picks(image, choice));
}

host::Image read_rgb(const std::string& path, const ChannelChoice& choice, const Placement* placement) {
    ImageFile file(path, choice.subimage);
    return read_rgb(file, choice, placement);
}

DepthAndRgb read_depth_and_rgb(ImageFile& file, const ChannelChoice& choice, const Placement* placement) {
    OpenImage& image = placed_file(file, placement);
    std::vector<Target> targets(2);
    targets[0].picks = {depth_pick(depth_source(image, choice))};
    targets[1].picks = rgb_picks(image, choice);
    decode(image, targets);
    return {std::move(targets[0].image), std::move(targets[1].image)};
}

RgbaAndDepth read_rgba_and_depth(const std::string& path, const ChannelChoice& choice, const std::string& depth_path) {
    RenderFrame render = read_render(path, choice, depth_path);
    RgbaAndDepth out;
    const Window& frame = render.placement.frame;
    const Window& display = render.placement.display;
    out.rgba = frame_channels(render.frame, host::Frame::COLOUR_BUFFERS);
    out.rgba.name = path;
    out.rgba = placed(out.rgba, frame, display, 0.0f);
    out.depth = frame_channels(render.frame, std::array<int32_t, 1>{BUF_DEPTH});
    out.depth.name = depth_path.empty() ? path : depth_path;
    out.depth = placed(out.depth, frame, display, NO_DEPTH);
    out.source = std::move(render.source);
    return out;
}

RenderFrame read_render(const std::string& path, const ChannelChoice& choice, const std::string& depth_path,
                        int32_t number) {
    ImageFile file(path, choice.subimage);
    return read_render(file, choice, depth_path, number);
}

RenderFrame read_render(ImageFile& file, const ChannelChoice& choice, const std::string& depth_path, int32_t number) {
    OpenImage& image = file.open();
    const std::string& path = image.path;
    image.window = data_of(image.spec);
    const std::vector<int> colour = colour_sources(image, choice);
    ImageSource source;
    source.header = image.spec;
    for (int c : colour) source.types.push_back(image.spec.channelformat(c >= 0 ? c : colour[0]));
    source.names = colour_names(image, colour, choice.layer);
    std::vector<Pick> picks = rgba_picks(colour);
    std::vector<int32_t> buffers(host::Frame::COLOUR_BUFFERS.begin(), host::Frame::COLOUR_BUFFERS.end());
    std::vector<int> used = colour;
    if (depth_path.empty()) {
        const int depth = depth_source(image, choice);
        picks.push_back(depth_pick(depth));
        buffers.push_back(BUF_DEPTH);
        source.types.push_back(image.spec.channelformat(depth));
        source.names.push_back(image.names[std::size_t(depth)]);
        used.push_back(depth);
    } else {
        source.names.push_back(choice.layer.empty() ? "Z" : choice.layer + ".Z");
    }
    Target target = target_of(std::move(picks));
    check_targets(image, {target});  // before the frame takes its memory
    uint64_t passing_bytes = 0;
    band_rows(image, band_of({target}), passing_bytes);
    hold_image_bytes(image.account, path, window_bytes(image.window, host::Frame::ALL_BUFFERS.size()), passing_bytes);
    RenderFrame out{new_frame(image.window, number), std::move(source),
                    Placement{image.window, display_of(image.spec), false}, {}};
    out.other_channels = channels_besides(image, used, out.source.names);
    std::vector<float*> planes;
    for (int32_t buffer : buffers) planes.push_back(out.frame.samples(buffer).data());
    decode_into(image, std::move(target), std::move(planes));
    if (!depth_path.empty()) {
        OpenImage depth_image = open_image(depth_path);
        depth_image.account = image.account;
        const int depth = depth_source(depth_image, {"", "", choice.depth_channel});
        out.source.types.push_back(depth_image.spec.channelformat(depth));
        const Window display = display_of(depth_image.spec), render = out.placement.display;
        if (display.width != render.width || display.height != render.height) {
            throw Error(depth_path + ": size " + size_text(display.width, display.height) + " differs from " +
                        size_text(render.width, render.height) + " of " + path);
        }
        depth_image.window = out.placement.frame;
        decode_into(depth_image, target_of({depth_pick(depth)}), {out.frame.samples(BUF_DEPTH).data()});
    }
    return out;
}

Placement placement_of(const ImageFile& file) {
    const OIIO::ImageSpec& spec = file.open().spec;
    return {data_of(spec), display_of(spec), false};
}

Window window_beside(const Placement& placement, const Window& display, const std::string& path) {
    const Window& render = placement.display;
    if (display.width == render.width && display.height == render.height) return placement.frame;
    if (placement.refuse_scaling) {
        throw Error(path + ": display window " + size_text(display.width, display.height) + " differs from the render's " +
                    size_text(render.width, render.height) + " (--no-scale)");
    }
    const double rx = double(display.width) / render.width, ry = double(display.height) / render.height;
    const Window& frame = placement.frame;
    return {scaled(int64_t(display.x) + scaled(int64_t(frame.x) - render.x, rx), 1.0),
            scaled(int64_t(display.y) + scaled(int64_t(frame.y) - render.y, ry), 1.0),
            std::max(1, scaled(frame.width, rx)), std::max(1, scaled(frame.height, ry))};
}

host::Image placed(const host::Image& image, const Window& from, const Window& to, float outside,
                   HeldImages* account) {
    if (from == to) return image;
    hold_image_bytes(account, image.name, window_bytes(to, std::size_t(image.channels)));
    host::Image out;
    out.name = image.name;
    out.width = to.width;
    out.height = to.height;
    out.channels = image.channels;
    const std::size_t channels = std::size_t(image.channels);
    out.pixels.assign(std::size_t(to.width) * std::size_t(to.height) * channels, outside);
    const int left = std::max(from.x, to.x), right = std::min(from.x + from.width, to.x + to.width);
    for (int y = std::max(from.y, to.y); y < std::min(from.y + from.height, to.y + to.height); ++y) {
        for (int x = left; x < right; ++x) {
            const float* in = &image.pixels[(std::size_t(y - from.y) * std::size_t(from.width) + std::size_t(x - from.x)) * channels];
            std::copy(in, in + channels,
                      &out.pixels[(std::size_t(y - to.y) * std::size_t(to.width) + std::size_t(x - to.x)) * channels]);
        }
    }
    return out;
}

StoredChannels read_stored_channels(ImageFile& file, const std::vector<std::string>& names,
                                    const Placement* placement) {
    OpenImage& image = file.open();
    const std::string& path = image.path;
    image.window = placement != nullptr ? window_beside(*placement, display_of(image.spec), path) : data_of(image.spec);
    StoredChannels out;
    out.window = image.window;
    std::vector<int> wanted;
    for (const std::string& name : names) {
        const auto found = std::find(image.names.begin(), image.names.end(), name);
        if (found == image.names.end()) throw no_channel(image, name);
        wanted.push_back(int(found - image.names.begin()));
        out.names.push_back(name);
        out.types.push_back(image.spec.channelformat(wanted.back()));
        out.offsets.push_back(out.pixel_bytes);
        out.pixel_bytes += out.types.back().size();
    }
    if (wanted.empty()) return out;
    const int first = *std::min_element(wanted.begin(), wanted.end());
    const int end = *std::max_element(wanted.begin(), wanted.end()) + 1;
    std::size_t band_pixel = 0;
    for (int c = first; c < end; ++c) band_pixel += image.spec.channelformat(c).size();
    const OIIO::ImageSpec& s = image.spec;
    const uint64_t row_bytes = times(uint64_t(s.width), band_pixel);
    uint64_t passing_bytes = 0;
    const int band_rows = band_height(image, row_bytes, passing_bytes);
    const uint64_t band_bytes = times(row_bytes, uint64_t(band_rows));
    const uint64_t kept = times(times(uint64_t(out.window.width), uint64_t(out.window.height)), out.pixel_bytes);
    check_decoded_size(path, out.window.width, out.window.height, int(names.size()), passing_bytes, image.account);
    hold_image_bytes(image.account, path, kept, passing_bytes);
    out.pixels.assign(std::size_t(kept), 0);
    std::vector<unsigned char> band(static_cast<std::size_t>(band_bytes));
    const int top = std::max(s.y, out.window.y), bottom = std::min(s.y + s.height, out.window.y + out.window.height);
    for (int y0 = band_start(image, top); y0 < bottom; y0 += band_rows) {
        const int y1 = std::min(s.y + s.height, y0 + band_rows);
        read_rows(image, y0, y1, first, end, OIIO::TypeDesc::UNKNOWN, band.data());
        store_stored_rows(image, wanted, first, end, y0, y1, band, out);
    }
    return out;
}

host::Image frame_channels(const host::Frame& frame, std::span<const int32_t> buffers, HeldImages* account) {
    hold_image_bytes(account, "a copy of the frame",
                     times(times(uint64_t(frame.width()), uint64_t(frame.height())), buffers.size() * sizeof(float)));
    host::Image out;
    out.width = frame.width();
    out.height = frame.height();
    out.channels = int32_t(buffers.size());
    out.pixels.resize(std::size_t(out.width) * std::size_t(out.height) * buffers.size());
    for (std::size_t c = 0; c < buffers.size(); ++c) {
        std::span<const float> samples = frame.samples(buffers[c]);
        for (std::size_t i = 0; i < samples.size(); ++i) out.pixels[i * buffers.size() + c] = samples[i];
    }
    return out;
}

}  // namespace zhost
