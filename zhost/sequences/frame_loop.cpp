#include "zhost/sequences/frame_loop.h"

#include <cstdio>
#include <filesystem>

#include "zhost/text/one_line.h"
#include "zhost/text/suggest.h"

namespace zhost {

FrameLoop::FrameLoop(const std::string& label, FrameRange frames, std::vector<std::string> inputs, Context& context)
    : frames_(std::move(frames)),
      skip_missing_(context.global.skip_missing),
      images_(context.images),
      progress_(label, frames_.count(), context.reporter) {
    for (const std::string& input : inputs) {
        if (!input.empty()) inputs_.emplace_back(input);
    }
}

std::vector<std::string> FrameLoop::missing_inputs(int32_t number) const {
    std::vector<std::string> missing;
    for (const FramePattern& input : inputs_) {
        const std::string path = input.path(number);
        std::error_code error;
        if (!std::filesystem::exists(path, error)) missing.push_back(path);
    }
    return missing;
}

std::vector<int32_t> FrameLoop::frames_with_inputs() const {
    if (!skip_missing_) return frames_.frames;
    std::vector<int32_t> present;
    for (const int32_t number : frames_.frames) {
        if (missing_inputs(number).empty()) present.push_back(number);
    }
    return present;
}

void print_wrote_frames(const Reporter& reporter, const FramePattern& out, const std::vector<int32_t>& done,
                        const std::string& note) {
    if (done.empty()) return;
    const FrameRange frames{done};
    reporter.wrote_range(out.path(frames.first()), out.path(frames.last()),
                      frames.count() > 1 ? frame_count_note(frames) : note);
}

int FrameLoop::finish() const {
    if (left_out_.empty()) return 0;
    std::vector<std::string> frames;
    for (const auto& [number, missing] : left_out_) frames.push_back(std::to_string(number) + " (" + joined(missing) + ")");
    std::fflush(stdout);
    std::fprintf(stderr, "zhost: %zu of %lld frames left out, their inputs missing: %s\n", left_out_.size(),
                 static_cast<long long>(frames_.count()), one_line(joined(frames)).c_str());
    return 1;
}

}  // namespace zhost
