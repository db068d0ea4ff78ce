#include "zhost/images/image_io.h"

#include <unistd.h>

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>
#include <Imath/half.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cctype>
#include <cmath>
#include <type_traits>
#include <limits>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "module/file.h"
#include "obk_version.h"
#include "zhost/text/error.h"
#include "zhost/text/one_line.h"

namespace zhost {
namespace {

namespace fs = std::filesystem;

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

// Software and a line of ImageHistory, as oiiotool writes them.
void add_provenance(OIIO::ImageSpec& spec, const std::string& line) {
    spec.attribute("Software", "zhost " OBK_VERSION);
    if (line.empty()) return;
    const std::string history = spec.get_string_attribute("Exif:ImageHistory");
    spec.attribute("Exif:ImageHistory", history.empty() ? line : history + "\n" + line);
}

int index_of(const std::vector<std::string>& names, const char* name) {
    const auto found = std::find(names.begin(), names.end(), name);
    return found == names.end() ? -1 : int(found - names.begin());
}

// The compressions that a format writes (empty for formats without a choice).
std::vector<std::string> compressions_of(const std::string& path) {
    const std::string extension = extension_of(path);
    if (extension == ".exr") return {"none", "rle", "zip", "zips", "piz", "pxr24", "b44", "b44a", "dwaa", "dwab"};
    if (extension == ".tif" || extension == ".tiff") return {"none", "lzw", "zip", "packbits"};
    return {};
}

// True for a compression NAME or NAME:LEVEL that the format of `path` writes.
bool compression_fits(const std::string& path, const std::string& compression) {
    const std::vector<std::string> names = compressions_of(path);
    const std::string name = compression.substr(0, compression.find(':'));
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Attributes of the render that its outputs keep: all but those of its file
// format, its compression (chosen apart) and its Software (replaced).
bool kept_from_render(const std::string& name) {
    if (name == "compression" || name == "Software" || name == "planarconfig") return false;
    for (const char* format : {"oiio:", "openexr:", "tiff:", "png:", "jpeg:"}) {
        if (name.rfind(format, 0) == 0) return false;
    }
    return true;
}

// Per-channel types for EXR; one type for formats that have only one (the
// widest of them).
void set_types(OIIO::ImageSpec& spec, const std::vector<OIIO::TypeDesc>& types, const std::string& path) {
    if (types.size() != std::size_t(spec.nchannels)) return;
    const bool all_half = std::all_of(types.begin(), types.end(), [](OIIO::TypeDesc t) { return t == OIIO::TypeDesc::HALF; });
    spec.set_format(all_half ? OIIO::TypeDesc::HALF : OIIO::TypeDesc::FLOAT);
    if (!all_half && extension_of(path) == ".exr") spec.channelformats = types;
}

void write_pfm(const std::string& path, const std::string& destination, const host::Image& image) {
    if (image.channels != 1 && image.channels != 3) {
        throw Error(destination + ": PFM holds one or three channels, not " + std::to_string(image.channels));
    }
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) throw Error(destination + ": cannot write: " + std::strerror(errno));
    // Little-endian samples (negative scale), rows from the bottom up.
    const std::string header = std::string(image.channels == 3 ? "PF" : "Pf") + "\n" +
                               std::to_string(image.width) + " " + std::to_string(image.height) + "\n-1.0\n";
    static_assert(std::endian::native == std::endian::little, "PFM samples are written in processor order");
    bool written = std::fwrite(header.data(), 1, header.size(), file.get()) == header.size();
    const std::size_t row = std::size_t(image.width) * std::size_t(image.channels);
    for (int32_t y = image.height - 1; written && y >= 0; --y) {
        written = std::fwrite(&image.pixels[image.index(0, y)], sizeof(float), row, file.get()) == row;
    }
    if (!written || std::fclose(file.release()) != 0) {
        throw Error(destination + ": cannot write: " + std::strerror(errno));
    }
}

// A file that an encoder wrote itself is read back whole before it counts:
// some encoders do not notice a failed write (a full disk), and their cut
// file would otherwise pass for a whole one.
void verify_readable(const std::string& path, const std::string& destination) {
    auto input = OIIO::ImageInput::open(path);
    std::vector<float> pixels;
    if (input) pixels.resize(std::size_t(input->spec().image_pixels()) * std::size_t(input->spec().nchannels));
    if (!input || !input->read_image(0, 0, 0, -1, OIIO::TypeDesc::FLOAT, pixels.data())) {
        throw Error(destination + ": cannot write: the written file does not read back whole");
    }
}

// The staged file of an output, written through a stream whose every
// write is checked: a write the system refuses (a full disk) is remembered,
// whether or not the encoder notices it, and finish() reports it naming the
// destination. The encoder writes in order and seeks back only to fill in
// what it wrote before (EXR's table of chunk offsets).
class CheckedFileOutput final : public OIIO::Filesystem::IOProxy {
public:
    explicit CheckedFileOutput(const PendingFile& file)
        : IOProxy(file.temporary(), Write),
          file_(std::fopen(file.temporary().c_str(), "wb")),
          destination_(file.destination()) {
        if (file_ == nullptr) throw Error(destination_ + ": cannot write: " + std::strerror(errno));
        std::setvbuf(file_.get(), nullptr, _IOFBF, STREAM_BUFFER_BYTES);
    }
    CheckedFileOutput(const CheckedFileOutput&) = delete;
    CheckedFileOutput& operator=(const CheckedFileOutput&) = delete;

    const char* proxytype() const override { return "file"; }
    void close() override {}  // finish() closes the file and checks the closing
    bool seek(int64_t offset) override {
        const std::lock_guard lock(mutex_);
        return seek_to(offset);
    }
    size_t read(void*, size_t) override { return 0; }
    size_t write(const void* data, size_t size) override {
        const std::lock_guard lock(mutex_);
        return write_here(data, size);
    }
    size_t pwrite(const void* data, size_t size, int64_t offset) override {
        const std::lock_guard lock(mutex_);
        const int64_t position = m_pos;
        const size_t written = seek_to(offset) ? write_here(data, size) : 0;
        seek_to(position);
        return written;
    }
    size_t size() const override { return size_t(end_); }
    void flush() const override { std::fflush(file_.get()); }

    // Closes the file; throws zhost::Error when a write or the closing failed.
    void finish() {
        if (std::fclose(file_.release()) != 0) failed();
        if (failure_ != 0) throw Error(destination_ + ": cannot write: " + std::strerror(failure_));
    }

private:
    // Large writes: the system keeps them in large pages of its file cache.
    static constexpr std::size_t STREAM_BUFFER_BYTES = std::size_t{1} << 20;

    void failed() {
        if (failure_ == 0) failure_ = errno != 0 ? errno : EIO;
    }
    bool seek_to(int64_t offset) {
        if (::fseeko(file_.get(), off_t(offset), SEEK_SET) != 0) {
            failed();
            return false;
        }
        m_pos = offset;
        return true;
    }
    size_t write_here(const void* data, size_t size) {
        const size_t written = std::fwrite(data, 1, size, file_.get());
        if (written != size) failed();
        m_pos += int64_t(written);
        end_ = std::max(end_, m_pos);
        return written;
    }

    File file_;
    std::string destination_;
    std::mutex mutex_;
    int64_t end_ = 0;
    int failure_ = 0;
};

// What writes the pixels once the output is open.
using PixelWriter = std::function<bool(OIIO::ImageOutput&)>;

// Encodes straight into the staged file through a checked stream where the
// format allows it. Not TIFF: its encoder writes an EXIF directory (the sRGB
// tag, Exif metadata) through a stream as a file that lacks its image size;
// TIFF and formats without streams write the file themselves, which is then
// read back whole before it counts.
void write_with_oiio(const PendingFile& file, const OIIO::ImageSpec& spec, const PixelWriter& write_pixels) {
    // The stream outlives the output, whose destructor may still write to it.
    std::unique_ptr<CheckedFileOutput> stream;
    std::unique_ptr<OIIO::ImageOutput> output = OIIO::ImageOutput::create(file.destination());
    if (!output) throw Error(file.destination() + ": no image format is known for this file name");
    const std::string extension = extension_of(file.destination());
    const bool tiff = extension == ".tif" || extension == ".tiff";
    if (!tiff && output->supports("ioproxy")) {
        stream = std::make_unique<CheckedFileOutput>(file);
        if (!output->set_ioproxy(stream.get())) stream.reset();
    }
    const auto oiio_error = [&] {
        return Error(file.destination() + ": cannot write (" + first_line(output->geterror()) + ")");
    };
    if (!output->open(file.temporary(), spec)) throw oiio_error();
    const bool written = write_pixels(*output);
    const bool closed = output->close();
    const Error failure = oiio_error();
    output.reset();  // its destructor may still write through the stream
    // A write that the system refused is the reason, whatever the encoder made of it.
    if (stream) stream->finish();
    if (!written || !closed) throw failure;
    if (!stream) verify_readable(file.temporary(), file.destination());
}

bool write_whole(OIIO::ImageOutput& output, OIIO::TypeDesc type, const void* data) {
    return output.write_image(type, data);
}

// Rows of an EXR output per write: whole chunks, enough for every encoding
// thread, and a band of at most BAND_BYTES.
int write_band_rows(const OIIO::ImageSpec& spec) {
    constexpr int64_t BAND_BYTES = int64_t{8} << 20;
    constexpr int ROWS = 64;
    const int chunk = exr_chunk_rows(spec.get_string_attribute("compression"));
    const int64_t row_bytes = std::max<int64_t>(1, int64_t(spec.width) * spec.nchannels * int64_t(sizeof(float)));
    return int(std::clamp<int64_t>(BAND_BYTES / row_bytes, 1, std::max(ROWS, chunk)));
}

// The spec of a float image of `names` (one per channel) with the types,
// compression and metadata of `settings`.
OIIO::ImageSpec float_spec(const std::string& path, int32_t width, int32_t height,
                           const std::vector<std::string>& names, const OutputSettings& settings) {
    OIIO::ImageSpec spec(width, height, int(names.size()), OIIO::TypeDesc::FLOAT);
    spec.extra_attribs = settings.metadata;
    spec.channelnames = names;
    spec.alpha_channel = index_of(names, "A");
    spec.z_channel = index_of(names, "Z");
    set_types(spec, settings.types, path);
    if (settings.data) {
        spec.x = settings.data->x;
        spec.y = settings.data->y;
    }
    if (settings.display) {
        spec.full_x = settings.display->x;
        spec.full_y = settings.display->y;
        spec.full_width = settings.display->width;
        spec.full_height = settings.display->height;
    } else {
        spec.full_x = spec.x;
        spec.full_y = spec.y;
    }
    spec.attribute("compression", compression_fits(path, settings.compression) ? settings.compression : "zip");
    add_provenance(spec, settings.history);
    return spec;
}

void check_float_format(const std::string& path, std::size_t channels) {
    if (!holds_floats(path)) {
        throw Error(path + ": this format does not keep 32-bit floats; use .exr, .tif or .pfm");
    }
    if (extension_of(path) == ".hdr" && channels != 3) {
        throw Error(path + ": HDR holds RGB colour only; use .exr, .tif or .pfm");
    }
}

}  // namespace

std::string extension_of(const std::string& path) { return lower(fs::path(path).extension().string()); }

bool keeps_floats(const std::string& path) {
    const std::string extension = extension_of(path);
    return extension == ".exr" || extension == ".tif" || extension == ".tiff" || extension == ".pfm";
}

bool holds_floats(const std::string& path) { return keeps_floats(path) || extension_of(path) == ".hdr"; }


OutputSettings follow_render(const ImageSource& render, const std::string& data_type, const std::string& compression) {
    OutputSettings settings;
    for (OIIO::TypeDesc type : render.types) {
        if (!data_type.empty()) type = OIIO::TypeDesc(data_type);
        settings.types.push_back(type == OIIO::TypeDesc::HALF ? OIIO::TypeDesc::HALF : OIIO::TypeDesc::FLOAT);
    }
    settings.compression =
        compression.empty() ? std::string(render.header.get_string_attribute("compression")) : compression;
    for (const OIIO::ParamValue& attribute : render.header.extra_attribs) {
        if (kept_from_render(attribute.name().string())) settings.metadata.push_back(attribute);
    }
    settings.colour_space = render.header.get_string_attribute("oiio:ColorSpace");
    settings.names = render.names;
    const OIIO::ImageSpec& h = render.header;
    settings.data = Window{h.x, h.y, h.width, h.height};
    settings.display = Window{h.full_x, h.full_y, h.full_width, h.full_height};
    return settings;
}

void check_compression(const std::string& path, const std::string& compression) {
    if (compression.empty() || compression_fits(path, compression)) return;
    const std::vector<std::string> names = compressions_of(path);
    if (names.empty()) throw UsageError("--compression applies to EXR and TIFF outputs, not " + path);
    std::string list;
    for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
    throw UsageError("--compression \"" + compression + "\" is not one of " + list + " for " + path);
}

void write_float_image(const std::string& path, const host::Image& image, const std::vector<std::string>& names,
                       const OutputSettings& settings) {
    if (int32_t(names.size()) != image.channels) throw Error(path + ": internal error: channel names do not match");
    check_float_format(path, names.size());
    PendingFile file(path);
    if (extension_of(path) == ".pfm") {
        write_pfm(file.temporary(), path, image);
    } else {
        const OIIO::ImageSpec spec = float_spec(path, image.width, image.height, names, settings);
        write_with_oiio(file, spec, [&](OIIO::ImageOutput& output) {
            return write_whole(output, OIIO::TypeDesc::FLOAT, image.pixels.data());
        });
    }
    file.commit();
}

void write_float_rows(const std::string& path, int32_t width, int32_t height, const std::vector<std::string>& names,
                      const OutputSettings& settings, const RowFiller& fill_rows) {
    check_float_format(path, names.size());
    if (extension_of(path) == ".pfm") throw Error(path + ": internal error: PFM is written from whole images");
    PendingFile file(path);
    const OIIO::ImageSpec spec = float_spec(path, width, height, names, settings);
    const int band_rows = write_band_rows(spec);
    std::vector<float> band(std::size_t(std::min(band_rows, std::max(height, 1))) * std::size_t(width) * names.size());
    write_with_oiio(file, spec, [&](OIIO::ImageOutput& output) {
        for (int32_t y0 = 0; y0 < height; y0 += band_rows) {
            const int32_t y1 = std::min(height, y0 + band_rows);
            fill_rows(y0, y1, band.data());
            if (!output.write_scanlines(spec.y + y0, spec.y + y1, 0, OIIO::TypeDesc::FLOAT, band.data())) return false;
        }
        return true;
    });
    file.commit();
}

void write_rows_with_stored(const std::string& path, int32_t width, int32_t height,
                            const std::vector<std::string>& names, const OutputSettings& settings,
                            const RowFiller& fill_rows, const StoredChannels& stored) {
    check_float_format(path, names.size() + stored.names.size());
    if (extension_of(path) == ".pfm") throw Error(path + ": internal error: PFM is written from whole images");
    PendingFile file(path);
    std::vector<std::string> all_names = names;
    all_names.insert(all_names.end(), stored.names.begin(), stored.names.end());
    OutputSettings all = settings;
    if (all.types.size() != all_names.size()) {  // the stored channels keep their types
        all.types.resize(names.size(), OIIO::TypeDesc::FLOAT);
        all.types.insert(all.types.end(), stored.types.begin(), stored.types.end());
    }
    const OIIO::ImageSpec spec = float_spec(path, width, height, all_names, all);
    std::vector<OIIO::TypeDesc> types;
    std::vector<std::size_t> offsets;
    std::size_t pixel_bytes = 0;
    for (int c = 0; c < spec.nchannels; ++c) {
        types.push_back(spec.channelformat(c));
        offsets.push_back(pixel_bytes);
        pixel_bytes += types.back().size();
    }
    const int band_rows = write_band_rows(spec);
    const std::size_t floats = names.size(), row_pixels = std::size_t(width);
    const std::size_t most = std::size_t(std::min(band_rows, std::max(height, 1))) * row_pixels;
    std::vector<float> band(most * floats);
    std::vector<unsigned char> encoded(most * pixel_bytes);
    write_with_oiio(file, spec, [&](OIIO::ImageOutput& output) {
        for (int32_t y0 = 0; y0 < height; y0 += band_rows) {
            const int32_t y1 = std::min(height, y0 + band_rows);
            fill_rows(y0, y1, band.data());
            for (std::size_t i = 0; i < std::size_t(y1 - y0) * row_pixels; ++i) {
                unsigned char* out = encoded.data() + i * pixel_bytes;
                for (std::size_t c = 0; c < floats; ++c)
                    convert_sample(OIIO::TypeDesc::FLOAT, &band[i * floats + c], types[c], out + offsets[c]);
                const std::size_t pixel = std::size_t(y0) * row_pixels + i;
                for (std::size_t k = 0; k < stored.names.size(); ++k)
                    convert_sample(stored.types[k], stored.sample(pixel, k), types[floats + k], out + offsets[floats + k]);
            }
            if (!output.write_scanlines(spec.y + y0, spec.y + y1, 0, OIIO::TypeDesc::UNKNOWN, encoded.data())) return false;
        }
        return true;
    });
    file.commit();
}

namespace {

template <typename T>
double number_of(const void* from) {
    T value;
    std::memcpy(&value, from, sizeof(T));
    return double(value);
}

// `number` in type T: an integer type takes it clamped to its range (a NaN
// as 0), as every conversion of a double beyond an integer's range is
// undefined.
template <typename T>
void store_number(double number, void* to) {
    T value = T(0);
    if constexpr (std::is_integral_v<T>) {
        constexpr T LOWEST = std::numeric_limits<T>::lowest(), HIGHEST = std::numeric_limits<T>::max();
        if (std::isnan(number)) {
            value = T(0);
        } else if (number <= double(LOWEST)) {
            value = LOWEST;
        } else if (number >= double(HIGHEST)) {
            value = HIGHEST;
        } else {
            value = T(number);
        }
    } else {
        value = T(number);
    }
    std::memcpy(to, &value, sizeof(T));
}

// Calls `visit` with a value of the C++ type of `type`'s samples.
template <typename Visit>
void with_sample_type(OIIO::TypeDesc type, Visit visit) {
    switch (type.basetype) {
    case OIIO::TypeDesc::HALF: return visit(Imath::half());
    case OIIO::TypeDesc::FLOAT: return visit(float());
    case OIIO::TypeDesc::DOUBLE: return visit(double());
    case OIIO::TypeDesc::UINT8: return visit(uint8_t());
    case OIIO::TypeDesc::INT8: return visit(int8_t());
    case OIIO::TypeDesc::UINT16: return visit(uint16_t());
    case OIIO::TypeDesc::INT16: return visit(int16_t());
    case OIIO::TypeDesc::UINT32: return visit(uint32_t());
    case OIIO::TypeDesc::INT32: return visit(int32_t());
    case OIIO::TypeDesc::UINT64: return visit(uint64_t());
    default: return visit(int64_t());
    }
}

}  // namespace

void convert_sample(OIIO::TypeDesc from_type, const void* from, OIIO::TypeDesc to_type, void* to) {
    if (from_type == to_type) {
        std::memcpy(to, from, from_type.size());
        return;
    }
    double number = 0;
    with_sample_type(from_type, [&](auto sample) { number = number_of<decltype(sample)>(from); });
    with_sample_type(to_type, [&](auto sample) { store_number<decltype(sample)>(number, to); });
}

void write_picture(const std::string& path, const Picture& picture, const OutputSettings& settings) {
    PendingFile file(path);
    OIIO::ImageSpec spec(picture.width, picture.height, picture.channels, OIIO::TypeDesc::UINT8);
    spec.extra_attribs = settings.metadata;
    if (picture.channels == 4) {
        spec.alpha_channel = 3;
        // Previews hold straight (not premultiplied) colour; keep it as it is.
        spec.attribute("oiio:UnassociatedAlpha", 1);
    }
    spec.attribute("oiio:ColorSpace", "sRGB");
    // Pictures are previews, written often: zlib level 3 makes PNGs about 4%
    // larger than the default level and writes them twice as fast.
    spec.attribute("png:compressionLevel", 3);
    add_provenance(spec, settings.history);
    write_with_oiio(file, spec, [&](OIIO::ImageOutput& output) {
        return write_whole(output, OIIO::TypeDesc::UINT8, picture.pixels.data());
    });
    file.commit();
}

}  // namespace zhost
