// `zhost info`: what the depth reader makes of each file, and why it
// refuses one; files given by name or by sequence pattern.
#include <cstdio>
#include <filesystem>

#include "zhost/commands/commands.h"
#include "zhost/files/zbuf_info.h"
#include "zhost/sequences/sequence.h"
#include "zhost/text/error.h"
#include "zhost/text/one_line.h"

namespace zhost {
namespace {

// The files that one argument names: a file that exists under that very
// name; else a pattern's frames (those of --frames, or those on disk);
// else the name itself, for the reader to refuse.
std::vector<std::string> files_named(const std::string& argument, const std::optional<FrameRange>& frames) {
    std::error_code error;
    if (std::filesystem::exists(argument, error)) return {argument};
    const FramePattern pattern(argument);
    if (!pattern.has_placeholder()) return {argument};
    const std::vector<int32_t> numbers = frames ? frames->frames : pattern.frames_on_disk();
    if (numbers.empty()) throw Error(argument + ": no file matches this pattern");
    std::vector<std::string> files;
    for (const int32_t number : numbers) files.push_back(pattern.path(number));
    return files;
}

void print_error(const Error& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "zhost: %s\n", one_line(error.what()).c_str());
}

// Reports one file, as text on stdout or into `reports`; false when it is
// refused or cannot be read.
bool report(const std::string& path, bool json, nlohmann::json& reports) {
    try {
        const ZbufInfo info = inspect_zbuf(path);
        if (json) {
            reports.push_back(zbuf_info_json(path, info));
        } else {
            std::fputs(format_zbuf_info(one_line(path), info).c_str(), stdout);
        }
        return info.body_complete();
    } catch (const Error& error) {
        if (json) reports.push_back({{"file", path}, {"verdict", "unreadable"}, {"reason", error.what()}});
        print_error(error);
        return false;
    }
}

}  // namespace

int run_info(const InfoOptions& options, Context&) {
    std::optional<FrameRange> frames;
    if (!options.frames.empty()) frames = parse_option([&] { return parse_frame_range(options.frames); });
    bool all_accepted = true;
    nlohmann::json reports = nlohmann::json::array();
    for (const std::string& argument : options.files) {
        try {
            for (const std::string& path : files_named(argument, frames)) {
                all_accepted = report(path, options.json, reports) && all_accepted;
            }
        } catch (const Error& error) {  // a pattern that names no file
            print_error(error);
            all_accepted = false;
        }
    }
    if (options.json) std::puts(reports.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return all_accepted ? 0 : 1;
}

}  // namespace zhost
