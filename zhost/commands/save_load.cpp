// `zhost save` and `zhost load`: depth files written through the module's
// saver and read back through its loader.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>

#include "host/messages.h"
#include "zhost/commands/commands.h"
#include "zhost/files/staging.h"
#include "zhost/images/frames.h"
#include "zhost/images/image_io.h"
#include "zhost/images/preview.h"
#include "zhost/running/list_images.h"
#include "zhost/running/module.h"
#include "zhost/running/render_session.h"
#include "zhost/sequences/frame_loop.h"
#include "zhost/sequences/sequence.h"
#include "zhost/text/error.h"
#include "zhost/text/one_line.h"
#include "zhost/text/report.h"

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

host::Frame read_save_frame(const SaveInputs& inputs, const SaveOptions& options, int32_t number,
                            HeldImages& account) {
    ImageFile depth_file(inputs.depth.path(number), "", &account);
    const host::Image depth = read_depth(depth_file, {"", "", options.depth_channel});
    if (!inputs.rgb) return make_frame(depth, nullptr, number, &account);
    // Colour and depth often come from one render: it is opened once.
    const std::string rgb_path = inputs.rgb->path(number);
    ImageFile rgb_file = rgb_path == depth_file.path() ? std::move(depth_file) : ImageFile(rgb_path, "", &account);
    const host::Image rgba = read_rgba(rgb_file);
    return make_frame(depth, &rgba, number, &account);
}


// --range sequence: one range for all frames of a sequence.
constexpr const char* SEQUENCE_RANGE = "sequence";

// The preview's range as the options ask for it: --far, --range NEAR,FAR
// (empty unless given, or for --range sequence) and --log. Throws
// UsageError for values that make no sense and for preview options without
// a preview.
DepthRange preview_range(const LoadOptions& options, bool picture) {
    if (!picture && (options.far || !options.range.empty() || options.log || !options.legend)) {
        throw UsageError("--far, --range, --log and --no-legend shape previews: add --preview or write an 8-bit "
                         "format");
    }
    DepthRange range;
    range.background = options.far.value_or(DEFAULT_BACKGROUND_DEPTH);
    range.log = options.log;
    if (options.range.empty() || options.range == SEQUENCE_RANGE) return range;
    const std::size_t comma = options.range.find(',');
    std::size_t used_near = 0, used_far = 0;
    try {
        range.near = std::stof(options.range.substr(0, comma), &used_near);
        range.far = std::stof(options.range.substr(comma + 1), &used_far);
    } catch (const std::exception&) {
    }
    if (comma == std::string::npos || used_near != comma || used_far != options.range.size() - comma - 1 ||
        !std::isfinite(range.near) || !std::isfinite(range.far) || !(range.near < range.far)) {
        throw UsageError("--range \"" + options.range + "\": expected NEAR,FAR with NEAR below FAR, or sequence");
    }
    if (range.log && !(range.near > 0)) throw UsageError("--log needs a --range above 0");
    range.empty = false;
    return range;
}

// The range to draw: the one asked for, or the depth's own below the background.
DepthRange range_for(const host::Image& depth, const DepthRange& asked, const std::string& path) {
    if (!asked.empty) return asked;
    DepthRange range = depth_range(depth, asked.background);
    range.log = asked.log;
    if (range.log && !range.empty && !(range.near > 0)) {
        throw Error(path + ": --log needs depths above 0, and the nearest is " + std::to_string(range.near) +
                    "; give --range");
    }
    return range;
}

// The range that every frame's preview shares, so that colours do not
// flicker from frame to frame: the union of each frame's own range (the
// frames are read twice).
DepthRange sequence_range(const host::Module& module, const FramePattern& files, const std::vector<int32_t>& frames,
                          const DepthRange& asked, ImageBudget& images) {
    DepthRange shared = asked;
    for (const int32_t number : frames) {
        HeldImages account(images);
        const std::string file = files.path(number);
        shared = covering(shared, range_for(load_depth_file(module, file, &account), asked, file));
    }
    return shared;
}

// Writes one frame of `zhost load`, the depth loaded from `file`; returns
// the size written, "(WxH)".
std::string write_loaded_frame(const host::Image& depth, const LoadOptions& options, const std::string& file,
                               const std::string& out, const DepthRange* preview, const std::string& history) {
    OutputSettings settings;
    settings.history = history;
    if (preview == nullptr) {
        settings.compression = options.compression;
        write_float_image(out, depth, {"Z"}, settings);
        return size_note(depth.width, depth.height);
    }
    const Picture picture = depth_preview(depth, range_for(depth, *preview, file), options.legend);
    write_picture(out, picture, settings);
    return size_note(picture.width, picture.height);
}

}  // namespace

int run_save(const SaveOptions& options, Context& context) {
    const SaveInputs inputs = parse_option([&] { return parse_save_inputs(options); });
    // All frames' files are staged and move into place together at the end.
    StagedFiles outputs;
    check_depth_file_names(options.base, outputs.staging_base(options.base), inputs.frames.frames);

    const auto module = open_module(context.global.module_path);
    host::MessageLog log;
    RenderSession saver(*module, {saver_spec(options.base)}, 1, log);
    FrameLoop loop("saving", inputs.frames, {options.depth, options.rgb}, context);
    // The JSON lines name the depth files once they are in place.
    loop.progress().hold_lines();
    loop.run([&](int32_t number, HeldImages& account) { return read_save_frame(inputs, options, number, account); },
             [&](int32_t number, host::Frame frame, HeldImages&) {
                 const std::size_t before = saver.written(0).size();
                 saver.render(frame, {}, &outputs);
                 if (saver.written(0).size() == before) {
                     throw Error(depth_file_name(options.base, number) + ": the saver wrote no file");
                 }
                 return std::vector<std::string>{saver.written(0).back()};
             });
    outputs.commit();
    loop.progress().release_lines();
    if (!loop.done().empty()) {
        const FrameRange done{loop.done()};
        context.reporter.wrote_range(depth_file_name(options.base, done.first()),
                                     depth_file_name(options.base, done.last()), frame_count_note(done));
    }
    return loop.finish();
}

int run_load(const LoadOptions& options, Context& context) {
    const bool picture = options.preview || !holds_floats(options.out);
    DepthRange range = parse_option([&] { return preview_range(options, picture); });
    check_compression(options.out, options.compression);
    const FrameRange frames = frames_to_run(options.frames, std::nullopt, {options.file, options.out});
    check_output_pattern("-o/--output", options.out, frames);
    const auto module = open_module(context.global.module_path);
    const FramePattern files(options.file);
    const FramePattern out(options.out);
    FrameLoop loop("loading", frames, {options.file}, context);
    if (picture && options.range == SEQUENCE_RANGE) {
        range = sequence_range(*module, files, loop.frames_with_inputs(), range, context.images);
    }
    std::string size;
    loop.run([&](int32_t number, HeldImages& account) {
                 return load_depth_file(*module, files.path(number), &account);
             },
             [&](int32_t number, const host::Image& depth, HeldImages&) {
                 size = write_loaded_frame(depth, options, files.path(number), out.path(number),
                                           picture ? &range : nullptr, context.command_line);
                 return std::vector<std::string>{out.path(number)};
             });
    print_wrote_frames(context.reporter, out, loop.done(), size);
    return loop.finish();
}

}  // namespace zhost
