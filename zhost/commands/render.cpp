// `zhost render`: runs a scene file through the module, frame by frame.
#include <cstdio>
#include <filesystem>

#include "host/messages.h"
#include "zhost/commands/commands.h"
#include "zhost/files/staging.h"
#include "zhost/images/frames.h"
#include "zhost/images/image_io.h"
#include "zhost/running/list_images.h"
#include "zhost/running/module.h"
#include "zhost/running/render_session.h"
#include "zhost/running/scene_file.h"
#include "zhost/sequences/frame_loop.h"
#include "zhost/text/error.h"
#include "zhost/text/one_line.h"
#include "zhost/text/report.h"

namespace zhost {
namespace {

namespace fs = std::filesystem;

// The files that the scene names, as seen from where zhost runs: the
// scene's names are relative to its folder.
void name_files_from(const fs::path& folder, SceneFile& scene) {
    scene.render_rgba = name_in_folder(folder, scene.render_rgba);
    scene.render_depth = name_in_folder(folder, scene.render_depth);
    for (SceneImage& image : scene.images) image.file = name_in_folder(folder, image.file);
    scene.output = name_in_folder(folder, scene.output);
}

// Marks the filters named by --options and gives them the --answer values.
void apply_options(const RenderOptions& options, SceneFile& scene) {
    for (const std::string& server : options.options) {
        bool found = false;
        for (FilterSpec& filter : scene.filters) {
            if (filter.server != server) continue;
            found = true;
            filter.run_options = true;
            for (const std::string& answer : options.answers) {
                const std::size_t equals = answer.find('=');
                if (equals == std::string::npos || equals == 0) {
                    throw UsageError("--answer \"" + answer + "\" is not of the form LABEL=VALUE");
                }
                const std::string label = answer.substr(0, equals);
                filter.answers.values[label] = answer.substr(equals + 1);
                filter.answers.given_to_all.insert(label);
            }
        }
        if (!found) throw Error("--options " + server + ": the scene has no filter of that server");
    }
}

// The frame's render inputs, and the settings of outputs that follow them.
// The images are placed beside the render as `placement` says.
host::Frame read_render_frame(const SceneFile& scene, int32_t number, OutputSettings& settings, Placement& placement,
                              HeldImages& account) {
    const std::string depth_path = scene.render_depth.empty() ? "" : FramePattern(scene.render_depth).path(number);
    const std::string path = FramePattern(scene.render_rgba).path(number);
    ImageFile file(path, "", &account);
    RenderFrame render = read_render(file, {}, depth_path, number);
    const host::Frame& frame = render.frame;
    if (scene.size && (frame.width() != scene.size->width || frame.height() != scene.size->height)) {
        throw Error(path + ": size " + size_text(frame.width(), frame.height()) + " differs from the scene's " +
                    size_text(scene.size->width, scene.size->height));
    }
    settings = follow_render(render.source, "", "");
    placement = render.placement;
    return std::move(render.frame);
}

std::vector<host::Image> read_frame_images(const host::Module& module, const SceneFile& scene, int32_t number,
                                          const Placement& placement, HeldImages& account) {
    std::vector<host::Image> images;
    for (const SceneImage& image : scene.images) {
        images.push_back(
            read_list_image(module, image.name, FramePattern(image.file).path(number), &placement, &account));
    }
    return images;
}

// One frame's inputs, read: the render, the settings of outputs that follow
// it, and the images of the list.
struct SceneFrame {
    host::Frame frame;
    OutputSettings settings;
    std::vector<host::Image> images;
};

SceneFrame read_scene_frame(const host::Module& module, const SceneFile& scene, int32_t number, HeldImages& account) {
    OutputSettings settings;
    Placement placement;
    host::Frame frame = read_render_frame(scene, number, settings, placement, account);
    return {std::move(frame), std::move(settings), read_frame_images(module, scene, number, placement, account)};
}

// The files that each frame reads: the render and the images of the list.
std::vector<std::string> scene_inputs(const SceneFile& scene) {
    std::vector<std::string> inputs = {scene.render_rgba, scene.render_depth};
    for (const SceneImage& image : scene.images) inputs.push_back(image.file);
    return inputs;
}

// The files that frame `number` wrote: the depth files that the session's
// filters wrote since `written_before` (updated), and the scene's output.
std::vector<std::string> frame_outputs(const RenderSession& session, const SceneFile& scene, int32_t number,
                                       std::vector<std::size_t>& written_before) {
    std::vector<std::string> outputs;
    for (std::size_t i = 0; i < written_before.size(); ++i) {
        const std::vector<std::string>& written = session.written(i);
        outputs.insert(outputs.end(), written.begin() + std::ptrdiff_t(written_before[i]), written.end());
        written_before[i] = written.size();
    }
    if (!scene.output.empty()) outputs.push_back(FramePattern(scene.output).path(number));
    return outputs;
}

// The report of the frames `done`: the filters, the depth files and the outputs.
template <typename Shown>
void print_rendered(const Reporter& reporter, const std::string& scene_file, const RenderSession& session,
                    const std::vector<std::string>& servers, const std::string& output, const FrameRange& done,
                    Shown shown) {
    reporter.report("rendered frames %s of %s\n", done.text().c_str(), one_line(scene_file).c_str());
    for (std::size_t i = 0; i < servers.size(); ++i) reporter.report("  %s\n", one_line(session.describe(i)).c_str());
    for (std::size_t i = 0; i < servers.size(); ++i) {
        const std::vector<std::string>& written = session.written(i);
        if (!written.empty()) {
            reporter.wrote_range(shown(written.front()), shown(written.back()), "depth files of " + servers[i]);
        }
    }
    if (!output.empty()) {
        reporter.wrote_range(shown(FramePattern(output).path(done.first())),
                             shown(FramePattern(output).path(done.last())), frame_count_note(done));
    }
}

}  // namespace

int run_render(const RenderOptions& options, Context& context) {
    std::optional<FrameRange> frames;
    if (!options.frames.empty()) frames = parse_option([&] { return parse_frame_range(options.frames); });
    SceneFile scene = read_scene_file(options.scene);
    if (!frames) frames = scene.frames;
    if (!scene.output.empty()) check_output_pattern("the scene's \"output\"", scene.output, *frames);
    apply_options(options, scene);
    const fs::path scene_folder = fs::path(options.scene).parent_path();
    name_files_from(scene_folder, scene);
    const std::vector<std::string> servers = [&] {
        std::vector<std::string> names;
        for (const FilterSpec& filter : scene.filters) names.push_back(filter.server);
        return names;
    }();

    const auto module = open_module(context.global.module_path);
    host::MessageLog log;
    RenderSession session(*module, scene.filters, worker_count(context.global.threads, 1 << 16), log);
    session.note_scaled_images();
    session.name_files_from(scene_folder);
    // Each frame's depth files and output picture are staged and committed
    // together once the frame has succeeded.
    StagedFiles outputs;
    const auto shown = [](const std::string& path) { return fs::path(path).lexically_normal().string(); };
    FrameLoop loop("rendering", *frames, scene_inputs(scene), context);
    std::vector<std::size_t> written_before(servers.size(), 0);
    loop.run([&](int32_t number, HeldImages& account) { return read_scene_frame(*module, scene, number, account); },
             [&](int32_t number, SceneFrame read, HeldImages& account) {
                 host::Frame& frame = read.frame;
                 session.render(frame, std::move(read.images), &outputs);
                 read.settings.history = context.command_line;
                 if (!scene.output.empty()) {
                     outputs.write(FramePattern(scene.output).path(number),
                                   [&](const std::string& staged) {
                                       write_frame_image(staged, frame, read.settings, nullptr, &account);
                                   });
                 }
                 outputs.commit();
                 std::vector<std::string> written = frame_outputs(session, scene, number, written_before);
                 for (std::string& name : written) name = shown(name);
                 return written;
             });
    if (!options.save_scene.empty()) {
        std::vector<host::SceneValues> settings;
        for (std::size_t i = 0; i < servers.size(); ++i) settings.push_back(session.settings(i));
        write_scene_file(options.save_scene, scene, settings);
    }
    if (!loop.done().empty()) {
        print_rendered(context.reporter, options.scene, session, servers, scene.output, FrameRange{loop.done()}, shown);
    }
    if (!options.save_scene.empty()) context.reporter.wrote(options.save_scene);
    return loop.finish();
}

}  // namespace zhost
