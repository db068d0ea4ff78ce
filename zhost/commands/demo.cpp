// `zhost demo`: two procedural layers rendered, the second saved as depth
// files through the saver and loaded back through the loader, then
// composited into the first by the compositor; PNG previews and a contact
// sheet.
#include "zhost/commands/commands.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>

#include "host/messages.h"
#include "zhost/files/staging.h"
#include "zhost/images/demo_scene.h"
#include "zhost/images/frames.h"
#include "zhost/images/image_io.h"
#include "zhost/images/preview.h"
#include "zhost/running/list_images.h"
#include "zhost/running/module.h"
#include "zhost/running/render_session.h"
#include "zhost/sequences/progress.h"
#include "zhost/sequences/sequence.h"
#include "zhost/text/error.h"
#include "zhost/text/one_line.h"
#include "zhost/text/report.h"
#include "zhost/text/timings.h"

namespace zhost {
namespace {

namespace fs = std::filesystem;

std::string numbered(const fs::path& dir, const std::string& stem, int32_t frame, const std::string& extension) {
    return (dir / FramePattern(stem + "####" + extension).path(frame)).string();
}

// Thumbnails of the composite, kept for the contact sheet.
struct DemoSheet {
    std::vector<Picture> composites;
    std::vector<std::string> labels;
};

// Writes a picture as one of the frame's staged files.
void write_staged(StagedFiles& outputs, const std::string& destination, const Picture& picture,
                  const OutputSettings& settings) {
    outputs.write(destination, [&](const std::string& staged) { write_picture(staged, picture, settings); });
}

void write_layer_previews(StagedFiles& outputs, const fs::path& dir, int32_t number, const RenderedLayer& first,
                          const RenderedLayer& second, const OutputSettings& settings) {
    write_staged(outputs, numbered(dir, "first", number, ".png"), colour_preview(first.rgba), settings);
    write_staged(outputs, numbered(dir, "second", number, ".png"), colour_preview(second.rgba), settings);
    write_staged(outputs, numbered(dir, "first-depth", number, ".png"),
                 depth_preview(first.depth, depth_range(first.depth, DEMO_BACKGROUND_DEPTH)), settings);
    write_staged(outputs, numbered(dir, "second-depth", number, ".png"),
                 depth_preview(second.depth, depth_range(second.depth, DEMO_BACKGROUND_DEPTH)), settings);
}

// One frame of the demo: both layers rendered, the second saved as a depth
// file by the saver and loaded back by the loader, then composited into the
// first by the compositor. The frame's files are staged in `outputs`.
void run_demo_frame(const DemoOptions& options, Context& context, Size size, int threads, int32_t index,
                    const host::Module& module, RenderSession& saver, RenderSession& compositor, StagedFiles& outputs,
                    DemoSheet& sheet) {
    const fs::path dir(options.out_dir);
    const DemoFrame frame{index, options.frame_count};
    const int32_t number = index + 1;
    HeldImages account(context.images);
    OutputSettings settings;
    settings.history = context.command_line;
    // Each emplace ends the stage before and starts the next.
    std::optional<StageTimer> timer(std::in_place, context.timings, "render layers");
    const RenderedLayer first = render_demo_layer(DemoLayer::FIRST, frame, size.width, size.height, threads);
    const RenderedLayer second = render_demo_layer(DemoLayer::SECOND, frame, size.width, size.height, threads);
    timer.emplace(context.timings, "layer previews");
    write_layer_previews(outputs, dir, number, first, second, settings);

    timer.emplace(context.timings, "save depth");
    host::Frame second_frame = make_frame(second.depth, &second.rgba, number, &account);
    saver.render(second_frame, {}, &outputs);
    timer.emplace(context.timings, "load depth");
    std::vector<host::Image> images;
    const std::string depth_file = numbered(dir, "zbuf", number, ".zb");
    try {
        images.push_back(load_depth_file(module, outputs.staged_path(depth_file), &account));
    } catch (const Error& error) {
        throw Error(outputs.shown(error.what()));
    }
    images.back().name = "zbuf";
    images.push_back(second.rgba);
    images.back().name = "second";

    timer.emplace(context.timings, "composite");
    host::Frame composite = make_frame(first.depth, &first.rgba, number, &account);
    compositor.render(composite, std::move(images));
    timer.emplace(context.timings, "composite PNGs");
    Picture picture = colour_preview(frame_rgba(composite, &account));
    write_staged(outputs, numbered(dir, "composite", number, ".png"), picture, settings);
    const host::Image composite_depth = frame_depth(composite, &account);
    write_staged(outputs, numbered(dir, "composite-depth", number, ".png"),
                 depth_preview(composite_depth, depth_range(composite_depth, DEMO_BACKGROUND_DEPTH)), settings);
    outputs.commit();
    timer.reset();
    sheet.composites.push_back(std::move(picture));
    sheet.labels.push_back(std::to_string(number));
}

void print_written(const Reporter& reporter, const DemoOptions& options, const char* stem, const char* what,
                   const char* extension = ".png") {
    const fs::path dir(options.out_dir);
    reporter.wrote_range(numbered(dir, stem, 1, extension), numbered(dir, stem, options.frame_count, extension), what);
}

void make_directory(const std::string& dir) {
    std::error_code error;
    fs::create_directories(dir, error);
    if (error || !fs::is_directory(dir)) {
        throw Error(dir + ": cannot create the output directory" + (error ? ": " + error.message() : ""));
    }
}

}  // namespace

int run_demo(const DemoOptions& options, Context& context) {
    if (!options.frames.empty()) {
        throw UsageError("demo takes its number of frames as --frame-count N; --frames means a range of frames on "
                         "the other commands");
    }
    const Size size = parse_option([&] { return parse_size(options.size, 8192); });
    make_directory(options.out_dir);
    const auto module = open_module(context.global.module_path);
    const int threads = worker_count(context.global.threads, size.height);
    host::MessageLog log;
    RenderSession saver(*module, {saver_spec((fs::path(options.out_dir) / "zbuf").string())}, 1, log);
    RenderSession compositor(*module, {compositor_spec("zbuf", "second")}, threads, log);
    DemoSheet sheet;
    {
        // Each frame's files move into place together once it has succeeded.
        StagedFiles outputs;
        Progress progress("rendering", options.frame_count, context.reporter);
        for (int32_t i = 0; i < options.frame_count; ++i) {
            run_demo_frame(options, context, size, threads, i, *module, saver, compositor, outputs, sheet);
            progress.frame_done(i + 1, {numbered(options.out_dir, "composite", i + 1, ".png")});
        }
    }
    const std::string sheet_path = (fs::path(options.out_dir) / "contact-sheet.png").string();
    {
        const StageTimer timer(context.timings, "contact sheet");
        OutputSettings settings;
        settings.history = context.command_line;
        const int thumbnail_width = std::min(160, size.width);
        write_picture(sheet_path, contact_sheet(sheet.composites, sheet.labels, 6, thumbnail_width), settings);
    }
    print_written(context.reporter, options, "first", "colour of the first layer");
    print_written(context.reporter, options, "first-depth", "depth of the first layer, false colour");
    print_written(context.reporter, options, "second", "colour of the second layer");
    print_written(context.reporter, options, "second-depth", "depth of the second layer, false colour");
    print_written(context.reporter, options, "zbuf", "depth of the second layer, by OBK_ZSave", ".zb");
    print_written(context.reporter, options, "composite", "second layer composited into the first by OBK_ZComp");
    print_written(context.reporter, options, "composite-depth", "depth of the composite, false colour");
    context.reporter.wrote(sheet_path, "all composite frames");
    return 0;
}

}  // namespace zhost
