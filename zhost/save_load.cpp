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
#include "zhost/progress.h"
#include "zhost/report.h"
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
    SaveInputs inputs{FramePattern(options.depth), std::nullopt, {}};
    if (!options.rgb.empty()) inputs.rgb.emplace(options.rgb);
    if (!options.frames.empty()) {
        inputs.frames = parse_frame_range(options.frames);
        if (!inputs.depth.has_placeholder()) {
            throw UsageError("--frames needs a sequence pattern with # or %04d, not \"" + options.depth + "\"");
        }
    } else if (options.frame) {
        inputs.frames = {*options.frame, *options.frame};
    } else if (inputs.depth.has_placeholder()) {
        throw UsageError("\"" + options.depth + "\" is a sequence pattern; give --frame N or --frames A-B");
    }
    return inputs;
}

std::string zbuf_name(const std::string& base, int32_t frame) {
    char name[ZBUF_NAME_CAPACITY];
    if (!format_zbuf_file_name(name, base.c_str(), frame)) return {};
    return name;
}

// The name of each frame's file must fit the saver's name buffer, staged or not.
void check_name_length(const std::string& base, const std::string& staged_base, const FrameRange& frames) {
    for (int32_t frame : {frames.first, frames.last}) {
        if (zbuf_name(staged_base, frame).empty()) {
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

void print_saved(const std::string& base, const FrameRange& frames) {
    if (frames.count() == 1) {
        report("wrote %s\n", zbuf_name(base, frames.first).c_str());
    } else {
        report("wrote %s .. %s  (%lld frames)\n", zbuf_name(base, frames.first).c_str(),
               zbuf_name(base, frames.last).c_str(), static_cast<long long>(frames.count()));
    }
}

}  // namespace

int run_save(const SaveOptions& options, const GlobalOptions& global) {
    const SaveInputs inputs = parse_option([&] { return parse_save_inputs(options); });
    const fs::path base_path(options.base);
    StagingDirectory staging(base_path.parent_path().string());
    const std::string staged_base = staging.path() + base_path.filename().string();
    check_name_length(options.base, staged_base, inputs.frames);

    const auto module = host::Module::open(global.module_path);
    host::MessageLog log;
    host::ScriptedFileRequester requester(staged_base);
    host::ImageFilter saver(*module, "OBK_ZSave");
    saver.options();  // the saver takes its base name from the requester

    Progress progress("saving", inputs.frames.count(), progress_wanted(global.quiet));
    for (int64_t n = inputs.frames.first; n <= inputs.frames.last; ++n) {
        const int32_t number = int32_t(n);
        const host::Frame frame = read_save_frame(inputs, options, number);
        saver.process(frame);
        if (print_messages(log, {{staged_base, options.base}}) > 0) return 1;
        const std::string staged = zbuf_name(staged_base, number);
        if (!fs::is_regular_file(staged)) throw Error(zbuf_name(options.base, number) + ": the saver wrote no file");
        staging.add(staged, zbuf_name(options.base, number));
        progress.frame_done(number, zbuf_name(options.base, number));
    }
    staging.commit();
    print_saved(options.base, inputs.frames);
    return 0;
}

int run_load(const LoadOptions& options, const GlobalOptions& global) {
    const auto module = host::Module::open(global.module_path);
    const host::Image depth = load_depth_file(*module, options.file);
    if (options.preview || !keeps_floats(options.out)) {
        write_picture(options.out, depth_preview(depth, depth_range(depth, PREVIEW_SKY_DEPTH)));
    } else {
        write_float_image(options.out, depth, {"Z"});
    }
    report("wrote %s  (%dx%d)\n", options.out.c_str(), depth.width, depth.height);
    return 0;
}

}  // namespace zhost
