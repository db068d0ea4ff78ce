#include "zhost/frames.h"

#include <algorithm>
#include <cstdio>

#include "zhost/error.h"

namespace zhost {

namespace {

std::string size_text(const host::Image& image) {
    return std::to_string(image.width) + "x" + std::to_string(image.height);
}

}  // namespace

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
    std::replace(line.begin(), line.end(), '\n', ' ');
    return line;
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
