// `zhost save` and `zhost load`: depth files written through the module's
// saver and read back through its loader.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>

#include "host/file_requester.h"
#include "host/image_filter.h"
#include "host/image_loader.h"
#include "host/messages.h"
#include "host/module_host.h"
#include "zbuf/zbuf.h"
#include "zhost/commands.h"
#include "zhost/error.h"
#include "zhost/frames.h"
#include "zhost/list_images.h"
#include "zhost/image_io.h"
#include "zhost/preview.h"
#include "zhost/one_line.h"
#include "zhost/progress.h"
#include "zhost/render_session.h"
#include "zhost/server_messages.h"
#include "zhost/sequence.h"
#include "zhost/staging.h"

namespace zhost {
namespace {

namespace fs = std::filesystem;

struct SaveInputs {
    FramePattern depth;
    std::optional<FramePattern> rgb;
    FrameRange frames;
};

SaveInputs parse_save_inputs(const SaveOptions& options) {
    if (options.base.find_first_of("#%") != std::string::npos) {
        throw UsageError("--base \"" + options.base + "\": the saver adds the frame number itself (BASE0001.zb); "
                         "drop the # or % pattern");
    }
    SaveInputs inputs{FramePattern(options.depth), std::nullopt, {}};
    if (!options.rgb.empty()) inputs.rgb.emplace(options.rgb);
    inputs.frames = frames_to_run(options.frames, options.frame, {options.depth, options.rgb});
    if (!options.frames.empty() && !inputs.depth.has_placeholder()) {
        throw UsageError("--frames needs a sequence pattern with # or %04d, not \"" + options.depth + "\"");
    }
    return inputs;
}

// The name of each frame's file must fit the saver's name buffer, staged or not.
void check_name_length(const std::string& base, const std::string& staged_base, const FrameRange& frames) {
    for (int32_t frame : frames.frames) {
        if (depth_file_name(staged_base, frame).empty()) {
            throw Error(base + ": base path too long for depth file names (at most " +
                        std::to_string(ZBUF_NAME_CAPACITY - 1 - (staged_base.size() - base.size()) - 8) +
                        " characters)");
        }
    }
}

host::Frame read_save_frame(const SaveInputs& inputs, const SaveOptions& options, int32_t number) {
    const host::Image depth = read_depth(inputs.depth.path(number), options.depth_channel);
    if (!inputs.rgb) return make_frame(depth, nullptr, number);
    const host::Image rgba = read_rgba(inputs.rgb->path(number));
    return make_frame(depth, &rgba, number);
}


}  // namespace

int run_save(const SaveOptions& options, const GlobalOptions& global) {
    const SaveInputs inputs = parse_option([&] { return parse_save_inputs(options); });
    // All frames' files are staged and move into place together at the end.
    StagedFiles outputs;
    const std::string staged_base = outputs.staging_base(options.base);
    check_name_length(options.base, staged_base, inputs.frames);

    const auto module = host::Module::open(global.module_path);
    host::MessageLog log;
    host::ScriptedFileRequester requester(staged_base);
    host::ImageFilter saver(*module, SAVER_SERVER);
    saver.options();  // the saver takes its base name from the requester

    Progress progress("saving", inputs.frames.count(), progress_wanted(global.quiet));
    for (const int32_t number : inputs.frames.frames) {
        const host::Frame frame = read_save_frame(inputs, options, number);
        saver.process(frame);
        if (print_messages(log, {{staged_base, options.base}}) > 0) return 1;
        const std::string staged = depth_file_name(staged_base, number);
        if (!fs::is_regular_file(staged)) throw Error(depth_file_name(options.base, number) + ": the saver wrote no file");
        outputs.add(staged, depth_file_name(options.base, number));
        progress.advance();
    }
    outputs.commit();
    print_wrote_range(depth_file_name(options.base, inputs.frames.first()), depth_file_name(options.base, inputs.frames.last()),
                      frame_count_note(inputs.frames));
    return 0;
}

int run_load(const LoadOptions& options, const GlobalOptions& global) {
    const FrameRange frames = frames_to_run(options.frames, std::nullopt, {options.file, options.out});
    check_output_pattern("-o/--output", options.out, frames);
    const auto module = host::Module::open(global.module_path);
    const FramePattern out(options.out);
    std::string size;
    for (const int32_t number : frames.frames) {
        const host::Image depth = load_depth_file(*module, FramePattern(options.file).path(number));
        if (options.preview || !keeps_floats(out.path(number))) {
            write_picture(out.path(number), depth_preview(depth, depth_range(depth, PREVIEW_SKY_DEPTH)));
        } else {
            write_float_image(out.path(number), depth, {"Z"});
        }
        size = size_note(depth.width, depth.height);
    }
    print_wrote_range(out.path(frames.first()), out.path(frames.last()),
                      frames.count() > 1 ? frame_count_note(frames) : size);
    return 0;
}

}  // namespace zhost
