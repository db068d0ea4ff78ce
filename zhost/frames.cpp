#include "zhost/frames.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "host/image_loader.h"
#include "module/file.h"
#include "zhost/error.h"
#include "zhost/one_line.h"
#include "zhost/image_io.h"
#include "zhost/preview.h"
#include "zhost/zbuf_info.h"

namespace zhost {

namespace {

std::string size_text(const host::Image& image) {
    return std::to_string(image.width) + "x" + std::to_string(image.height);
}

// The status of a load as one line, for anything but a complete image.
std::string load_failure(const std::string& path, const host::ImageLoad& load) {
    switch (load.status) {
    case STATUS_BAD_FILE: {
        const File file(std::fopen(path.c_str(), "rb"));
        return path + ": cannot open" + (file ? std::string() : ": " + std::string(std::strerror(errno)));
    }
    case STATUS_NOT_RECOGNISED: {
        const ZbufInfo info = inspect_zbuf(path);
        return path + ": not a depth file" + (info.reason.empty() ? std::string() : ": " + info.reason);
    }
    default:
        if (load.rows_announced > 0 && load.rows_received < load.rows_announced) {
            return path + ": truncated after " + std::to_string(load.rows_received) + " of " +
                   std::to_string(load.rows_announced) + " rows";
        }
        return path + ": the depth loader failed (status " + std::to_string(load.status) + ")";
    }
}

std::string lower_extension(const std::string& path) {
    std::string extension = std::filesystem::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return extension;
}

}  // namespace

int worker_count(int asked, int64_t jobs) {
    const int machine = int(std::max(1u, std::thread::hardware_concurrency()));
    return int(std::clamp<int64_t>(asked > 0 ? asked : machine, 1, std::max<int64_t>(jobs, 1)));
}

host::Image load_depth_file(const host::Module& module, const std::string& path) {
    host::ImageLoad load = host::load_depth_image(module, path);
    if (load.status != STATUS_OK || !load.image) throw Error(load_failure(path, load));
    load.image->name = path;
    return std::move(*load.image);
}

host::Image read_list_image(const host::Module& module, const std::string& name, const std::string& path) {
    host::Image image;
    if (lower_extension(path) == ".zb") {
        image = load_depth_file(module, path);
    } else if (channel_names(path).size() == 1) {
        image = read_depth(path);
    } else {
        image = read_rgba(path);
    }
    image.name = name;
    return image;
}

void write_frame_image(const std::string& path, const host::Frame& frame) {
    const host::Image rgba = frame_rgba(frame);
    const std::string extension = lower_extension(path);
    if (extension == ".pfm") throw Error(path + ": PFM holds no alpha; write .exr or .tif");
    if (!keeps_floats(path)) {
        write_picture(path, colour_preview(rgba, false));
        return;
    }
    host::Image out;
    out.width = frame.width();
    out.height = frame.height();
    out.channels = 5;
    out.pixels.reserve(rgba.pixels.size() / 4 * 5);
    std::span<const float> z = frame.samples(BUF_DEPTH);
    for (std::size_t i = 0; i < z.size(); ++i) {
        out.pixels.insert(out.pixels.end(), &rgba.pixels[i * 4], &rgba.pixels[i * 4 + 4]);
        out.pixels.push_back(z[i]);
    }
    write_float_image(path, out, {"R", "G", "B", "A", "Z"});
}

void check_same_size(const host::Image& reference, const host::Image& image) {
    if (reference.width == image.width && reference.height == image.height) return;
    throw Error(image.name + ": size " + size_text(image) + " differs from " + size_text(reference) + " of " +
                reference.name);
}

host::Frame make_frame(const host::Image& depth, const host::Image* rgba, int32_t number) {
    host::Frame frame(depth.width, depth.height, number);
    std::span<float> z = frame.samples(BUF_DEPTH);
    for (std::size_t i = 0; i < z.size(); ++i) z[i] = depth.pixels[i * std::size_t(depth.channels)];
    if (rgba == nullptr) return frame;
    check_same_size(depth, *rgba);
    for (int32_t c = 0; c < 4; ++c) {
        std::span<float> samples = frame.samples(host::Frame::COLOUR_BUFFERS[std::size_t(c)]);
        for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = rgba->pixels[i * 4 + std::size_t(c)];
    }
    return frame;
}

host::Image frame_rgba(const host::Frame& frame) {
    host::Image image;
    image.width = frame.width();
    image.height = frame.height();
    image.channels = 4;
    image.pixels.resize(std::size_t(frame.width()) * std::size_t(frame.height()) * 4);
    for (int32_t c = 0; c < 4; ++c) {
        std::span<const float> samples = frame.samples(host::Frame::COLOUR_BUFFERS[std::size_t(c)]);
        for (std::size_t i = 0; i < samples.size(); ++i) image.pixels[i * 4 + std::size_t(c)] = samples[i];
    }
    return image;
}

host::Image frame_depth(const host::Frame& frame) {
    host::Image image;
    image.width = frame.width();
    image.height = frame.height();
    image.channels = 1;
    std::span<const float> z = frame.samples(BUF_DEPTH);
    image.pixels.assign(z.begin(), z.end());
    return image;
}

std::string message_line(const host::Message& message,
                         const std::vector<std::pair<std::string, std::string>>& rename) {
    std::string line = message.text.value_or("(no text)");
    if (message.second_text) {
        std::string second = *message.second_text;
        for (const auto& [from, to] : rename) {
            if (!from.empty() && second.compare(0, from.size(), from) == 0) {
                second = to + second.substr(from.size());
                break;
            }
        }
        line += ": " + second;
    }
    return one_line(line);
}

std::size_t print_messages(const host::MessageLog& log,
                           const std::vector<std::pair<std::string, std::string>>& rename) {
    const std::vector<host::Message> messages = log.messages();
    for (const host::Message& message : messages) {
        std::fprintf(stderr, "zhost: %s\n", message_line(message, rename).c_str());
    }
    return messages.size();
}

}  // namespace zhost
