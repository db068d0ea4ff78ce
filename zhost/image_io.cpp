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
#include "zhost/error.h"

namespace zhost {
namespace {

namespace fs = std::filesystem;

// Largest image zhost reads: 2^28 pixels (16384 x 16384), far beyond any
// render, small enough that sample counts never overflow.
constexpr uint64_t MAX_PIXELS = uint64_t{1} << 28;

std::string first_line(std::string text) {
    const std::size_t end = text.find('\n');
    if (end != std::string::npos) text.resize(end);
    return text;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

void check_readable(const std::string& path) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (!fs::exists(status)) throw Error(path + ": no such file");
    if (fs::is_directory(status)) throw Error(path + ": is a directory, not an image");
    if (::access(path.c_str(), R_OK) != 0) throw Error(path + ": cannot read the file: " + std::strerror(errno));
}

std::unique_ptr<OIIO::ImageInput> open_input(const std::string& path) {
    check_readable(path);
    auto input = OIIO::ImageInput::open(path);
    if (!input) {
        const std::string reason = first_line(OIIO::geterror());
        throw Error(path + ": not an image that can be read" + (reason.empty() ? "" : " (" + reason + ")"));
    }
    const OIIO::ImageSpec& spec = input->spec();
    if (spec.width < 1 || spec.height < 1 || spec.depth != 1 || spec.nchannels < 1) {
        throw Error(path + ": not a flat 2D image");
    }
    if (uint64_t(spec.width) * uint64_t(spec.height) > MAX_PIXELS) {
        throw Error(path + ": image of " + std::to_string(spec.width) + "x" + std::to_string(spec.height) +
                    " pixels is too large");
    }
    return input;
}

// All channels of the first subimage as 32-bit floats.
host::Image read_all(OIIO::ImageInput& input, const std::string& path) {
    const OIIO::ImageSpec& spec = input.spec();
    host::Image image;
    image.name = path;
    image.width = spec.width;
    image.height = spec.height;
    image.channels = spec.nchannels;
    image.pixels.resize(std::size_t(spec.width) * std::size_t(spec.height) * std::size_t(spec.nchannels));
    if (!input.read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, image.pixels.data())) {
        throw Error(path + ": cannot read the pixels (" + first_line(input.geterror()) + ")");
    }
    return image;
}

// Index of the channel called `wanted`: an exact match, else one that differs
// only in case, else the one channel of a layer ending in ".wanted". -1 if none.
int find_channel(const std::vector<std::string>& names, const std::string& wanted) {
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == wanted) return int(i);
    for (std::size_t i = 0; i < names.size(); ++i)
        if (lower(names[i]) == lower(wanted)) return int(i);
    int found = -1;
    std::string suffix = lower(wanted);
    suffix.insert(suffix.begin(), '.');
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string name = lower(names[i]);
        if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
            if (found >= 0) return -1;
            found = int(i);
        }
    }
    return found;
}

std::vector<std::string> names_of(const OIIO::ImageSpec& spec) {
    std::vector<std::string> names;
    for (int c = 0; c < spec.nchannels; ++c) {
        names.push_back(c < int(spec.channelnames.size()) ? spec.channelnames[c] : "channel " + std::to_string(c));
    }
    return names;
}

host::Image pick_channels(const host::Image& all, const std::vector<int>& sources) {
    host::Image picked;
    picked.name = all.name;
    picked.width = all.width;
    picked.height = all.height;
    picked.channels = int32_t(sources.size());
    const std::size_t pixels = std::size_t(all.width) * std::size_t(all.height);
    picked.pixels.resize(pixels * sources.size());
    const std::size_t step = std::size_t(all.channels);
    float* out = picked.pixels.data();
    for (const float* pixel = all.pixels.data(); pixel != all.pixels.data() + pixels * step; pixel += step)
        for (int source : sources) *out++ = pixel[source];
    return picked;
}

// The channel of an image's depth: "Z", or the only channel there is.
int depth_source(const std::vector<std::string>& names, const std::string& path) {
    int source = find_channel(names, "Z");
    if (source < 0 && names.size() == 1) source = 0;
    if (source < 0) {
        throw Error(path + ": no Z channel and more than one channel (" + joined(names) +
                    "); name the depth channel with --depth-channel");
    }
    return source;
}

// The channels that make RGBA: R, G and B (or the one grey channel), then A;
// -1 for an alpha the image does not have.
std::vector<int> rgba_sources(const std::vector<std::string>& names, const std::string& path) {
    const int alpha = find_channel(names, "A");
    std::vector<int> colour = {find_channel(names, "R"), find_channel(names, "G"), find_channel(names, "B")};
    if (std::count(colour.begin(), colour.end(), -1) > 0) {
        const int grey_channels = int(names.size()) - (alpha >= 0 ? 1 : 0);
        if (grey_channels != 1) throw Error(path + ": no R, G and B channels (channels: " + joined(names) + ")");
        const int grey = alpha == 0 ? 1 : 0;
        colour = {grey, grey, grey};
    }
    colour.push_back(alpha);
    return colour;
}

host::Image pick_rgba(const host::Image& all, std::vector<int> sources) {
    const bool has_alpha = sources[3] >= 0;
    if (!has_alpha) sources[3] = sources[0];
    host::Image rgba = pick_channels(all, sources);
    if (!has_alpha) {
        for (std::size_t i = 3; i < rgba.pixels.size(); i += 4) rgba.pixels[i] = 1.0f;
    }
    return rgba;
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
    const bool in_memory = output->supports("ioproxy") && output->set_ioproxy(&memory);
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

std::vector<std::string> channel_names(const std::string& path) { return names_of(open_input(path)->spec()); }

host::Image read_channels(const std::string& path, const std::vector<std::string>& channels) {
    auto input = open_input(path);
    const std::vector<std::string> names = names_of(input->spec());
    std::vector<int> sources;
    for (const std::string& wanted : channels) {
        const int found = find_channel(names, wanted);
        if (found < 0) throw Error(path + ": no channel \"" + wanted + "\" (channels: " + joined(names) + ")");
        sources.push_back(found);
    }
    return pick_channels(read_all(*input, path), sources);
}

host::Image read_depth(const std::string& path, const std::string& channel) {
    if (!channel.empty()) return read_channels(path, {channel});
    auto input = open_input(path);
    const int source = depth_source(names_of(input->spec()), path);
    return pick_channels(read_all(*input, path), {source});
}

host::Image read_rgba(const std::string& path) {
    auto input = open_input(path);
    const std::vector<int> sources = rgba_sources(names_of(input->spec()), path);
    return pick_rgba(read_all(*input, path), sources);
}

RgbaAndDepth read_rgba_and_depth(const std::string& path) {
    auto input = open_input(path);
    const std::vector<std::string> names = names_of(input->spec());
    const std::vector<int> colour = rgba_sources(names, path);
    const int depth = depth_source(names, path);
    const host::Image all = read_all(*input, path);
    return {pick_rgba(all, colour), pick_channels(all, {depth})};
}

std::string extension_of(const std::string& path) { return lower(fs::path(path).extension().string()); }

bool keeps_floats(const std::string& path) {
    const std::string extension = extension_of(path);
    return extension == ".exr" || extension == ".tif" || extension == ".tiff" || extension == ".pfm";
}

void write_float_image(const std::string& path, const host::Image& image, const std::vector<std::string>& names) {
    if (int32_t(names.size()) != image.channels) throw Error(path + ": internal error: channel names do not match");
    if (!keeps_floats(path)) {
        throw Error(path + ": this format does not keep 32-bit floats; use .exr, .tif or .pfm");
    }
    PendingFile file(path);
    if (extension_of(path) == ".pfm") {
        write_pfm(file.temporary(), path, image);
    } else {
        OIIO::ImageSpec spec(image.width, image.height, image.channels, OIIO::TypeDesc::FLOAT);
        spec.channelnames = names;
        spec.alpha_channel = find_channel(names, "A");
        spec.z_channel = find_channel(names, "Z");
        spec.attribute("compression", "zip");
        write_with_oiio(file, spec, OIIO::TypeDesc::FLOAT, image.pixels.data());
    }
    file.commit();
}

void write_picture(const std::string& path, const Picture& picture) {
    PendingFile file(path);
    OIIO::ImageSpec spec(picture.width, picture.height, picture.channels, OIIO::TypeDesc::UINT8);
    if (picture.channels == 4) {
        spec.alpha_channel = 3;
        // Previews hold straight (not premultiplied) colour; keep it as it is.
        spec.attribute("oiio:UnassociatedAlpha", 1);
    }
    // Pictures are previews, written often: zlib level 3 makes PNGs about 4%
    // larger than the default level and writes them twice as fast.
    spec.attribute("png:compressionLevel", 3);
    write_with_oiio(file, spec, OIIO::TypeDesc::UINT8, picture.pixels.data());
    file.commit();
}

}  // namespace zhost
