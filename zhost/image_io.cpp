#include "zhost/image_io.h"

#include <unistd.h>

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "module/file.h"
#include "obk_version.h"
#include "zhost/error.h"
#include "zhost/one_line.h"

namespace zhost {
namespace {

namespace fs = std::filesystem;

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

std::string& history_line() {
    static std::string line;
    return line;
}

// Software and a line of ImageHistory, as oiiotool writes them.
void add_provenance(OIIO::ImageSpec& spec) {
    spec.attribute("Software", "zhost " OBK_VERSION);
    if (history_line().empty()) return;
    const std::string history = spec.get_string_attribute("Exif:ImageHistory");
    spec.attribute("Exif:ImageHistory", history.empty() ? history_line() : history + "\n" + history_line());
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

std::string unique_suffix() {
    static std::atomic<unsigned> counter{0};
    return ".zhost-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
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

void write_bytes(const std::string& path, const std::string& destination, const std::vector<unsigned char>& bytes) {
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) throw Error(destination + ": cannot write: " + std::strerror(errno));
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
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

// Encodes in memory where the format allows it, so that every byte reaches
// the disk through one write whose result is checked.
void write_with_oiio(const PendingFile& file, const OIIO::ImageSpec& spec, OIIO::TypeDesc type, const void* data) {
    auto output = OIIO::ImageOutput::create(file.destination());
    if (!output) throw Error(file.destination() + ": no image format is known for this file name");
    std::vector<unsigned char> encoded;
    OIIO::Filesystem::IOVecOutput memory(encoded);
    // Not TIFF: its encoder writes an EXIF directory (the sRGB tag, Exif
    // metadata) into memory as a file that lacks its image size.
    const std::string extension = extension_of(file.destination());
    const bool tiff = extension == ".tif" || extension == ".tiff";
    const bool in_memory = !tiff && output->supports("ioproxy") && output->set_ioproxy(&memory);
    if (!output->open(file.temporary(), spec)) {
        throw Error(file.destination() + ": cannot write (" + first_line(output->geterror()) + ")");
    }
    const bool written = output->write_image(type, data);
    const bool closed = output->close();
    if (!written || !closed) throw Error(file.destination() + ": cannot write (" + first_line(output->geterror()) + ")");
    if (in_memory) {
        write_bytes(file.temporary(), file.destination(), encoded);
    } else {
        verify_readable(file.temporary(), file.destination());
    }
}

}  // namespace

std::string extension_of(const std::string& path) { return lower(fs::path(path).extension().string()); }

bool keeps_floats(const std::string& path) {
    const std::string extension = extension_of(path);
    return extension == ".exr" || extension == ".tif" || extension == ".tiff" || extension == ".pfm";
}

bool holds_floats(const std::string& path) { return keeps_floats(path) || extension_of(path) == ".hdr"; }

void set_command_line(std::string command_line) { history_line() = std::move(command_line); }

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
    if (!holds_floats(path)) {
        throw Error(path + ": this format does not keep 32-bit floats; use .exr, .tif or .pfm");
    }
    if (extension_of(path) == ".hdr" && image.channels != 3) {
        throw Error(path + ": HDR holds RGB colour only; use .exr, .tif or .pfm");
    }
    PendingFile file(path);
    if (extension_of(path) == ".pfm") {
        write_pfm(file.temporary(), path, image);
    } else {
        OIIO::ImageSpec spec(image.width, image.height, image.channels, OIIO::TypeDesc::FLOAT);
        spec.extra_attribs = settings.metadata;
        spec.channelnames = names;
        spec.alpha_channel = index_of(names, "A");
        spec.z_channel = index_of(names, "Z");
        set_types(spec, settings.types, path);
        spec.attribute("compression", compression_fits(path, settings.compression) ? settings.compression : "zip");
        add_provenance(spec);
        write_with_oiio(file, spec, OIIO::TypeDesc::FLOAT, image.pixels.data());
    }
    file.commit();
}

void write_picture(const std::string& path, const Picture& picture, const OIIO::ParamValueList& metadata) {
    PendingFile file(path);
    OIIO::ImageSpec spec(picture.width, picture.height, picture.channels, OIIO::TypeDesc::UINT8);
    spec.extra_attribs = metadata;
    if (picture.channels == 4) {
        spec.alpha_channel = 3;
        // Previews hold straight (not premultiplied) colour; keep it as it is.
        spec.attribute("oiio:UnassociatedAlpha", 1);
    }
    spec.attribute("oiio:ColorSpace", "sRGB");
    // Pictures are previews, written often: zlib level 3 makes PNGs about 4%
    // larger than the default level and writes them twice as fast.
    spec.attribute("png:compressionLevel", 3);
    add_provenance(spec);
    write_with_oiio(file, spec, OIIO::TypeDesc::UINT8, picture.pixels.data());
    file.commit();
}

PendingFile::PendingFile(std::string destination) : destination_(std::move(destination)) {
    const fs::path target(destination_);
    std::string name(1, '.');
    name += target.stem().string();
    name += unique_suffix();
    name += target.extension().string();
    temporary_ = (target.parent_path() / name).string();
}

PendingFile::~PendingFile() {
    if (committed_) return;
    std::error_code ignored;
    fs::remove(temporary_, ignored);
}

void PendingFile::commit() {
    std::error_code error;
    fs::rename(temporary_, destination_, error);
    if (error) {
        fs::remove(temporary_, error);
        throw Error(destination_ + ": cannot write: " + error.message());
    }
    committed_ = true;
}

}  // namespace zhost
