// `zhost comp`: frames composited by depth through the module's "OBK_ZComp",
// its two images chosen in the compositor's own panel.
#include <future>

#include "host/messages.h"
#include "zhost/commands.h"
#include "zhost/error.h"
#include "zhost/frame_loop.h"
#include "zhost/frames.h"
#include "zhost/list_images.h"
#include "zhost/one_line.h"
#include "zhost/sequence.h"
#include "zhost/image_io.h"
#include "zhost/render_session.h"
#include "zhost/report.h"
#include "zhost/timings.h"

namespace zhost {
namespace {

constexpr const char* DEPTH_IMAGE = "zbuffer";
constexpr const char* COMP_IMAGE = "comp";

host::Image read_zbuffer(const host::Module& module, const std::string& path, const std::string& depth_channel) {
    if (extension_of(path) == ".zb" || channel_names(path).size() == 1) return read_list_image(module, DEPTH_IMAGE, path);
    // The Z (or the channel named) of an image with colour, or a clear
    // refusal; its colour is not decoded.
    host::Image depth = read_depth(path, {"", "", depth_channel});
    depth.name = DEPTH_IMAGE;
    return depth;
}

// Output options that the output's format cannot honour are usage errors.
void check_output_options(const CompOptions& options) {
    check_compression(options.out, options.compression);
    const std::string extension = extension_of(options.out);
    if (!options.data_type.empty() && extension != ".exr" && extension != ".tif" && extension != ".tiff") {
        throw UsageError("-d applies to EXR and TIFF outputs, not " + options.out);
    }
}

}  // namespace

FilterSpec compositor_spec(const std::string& depth_image, const std::string& comp_image) {
    FilterSpec spec;
    spec.kind = FilterKind::PIXEL;
    spec.server = "OBK_ZComp";
    spec.run_options = true;
    spec.answers.values = {{"Z-Buffer", depth_image}, {"Comp Image", comp_image}};
    return spec;
}

namespace {

// The inputs of one frame, read, and the settings of its output.
struct CompInputs {
    RenderFrame render;
    host::Image zbuffer;
    host::Image comp;
    OutputSettings settings;
};

// Reads one frame's inputs: every pattern of the command expanded with the
// frame's number. The three inputs are independent files, read at the same
// time; a failure is reported as it would be reading them one after another
// (render, depth image, composite image).
CompInputs read_comp_frame(const CompOptions& options, const host::Module& module, int32_t number) {
    const auto path = [number](const std::string& pattern) { return pattern.empty() ? pattern : FramePattern(pattern).path(number); };
    auto zbuffer = std::async(std::launch::async, [&] {
        const StageTimer timer("read depth image");
        return read_zbuffer(module, path(options.zbuffer), options.depth_channel);
    });
    auto comp = std::async(std::launch::async, [&] {
        const StageTimer timer("read comp image");
        // The compositor takes only its colour (image_rgb).
        host::Image image = read_rgb(path(options.comp));
        image.name = COMP_IMAGE;
        return image;
    });
    RenderFrame render = [&] {
        const StageTimer timer("read render");
        return read_render(path(options.render), {options.subimage, options.render_layer, options.depth_channel},
                           path(options.render_depth), number);
    }();
    const OutputSettings settings = follow_render(render.source, options.data_type, options.compression);
    return {std::move(render), zbuffer.get(), comp.get(), settings};
}

// Composites one frame read and writes it. Returns the size written, "(WxH)".
std::string finish_comp_frame(const CompOptions& options, RenderSession& session, int32_t number, CompInputs inputs) {
    host::Frame& frame = inputs.render.frame;
    std::vector<host::Image> images;
    images.push_back(std::move(inputs.zbuffer));
    images.push_back(std::move(inputs.comp));
    note_scaling("depth image", images[0], frame);
    note_scaling("comp image", images[1], frame);
    {
        const StageTimer timer("composite");
        session.render(frame, std::move(images));
    }
    const StageTimer timer("write output");
    write_frame_image(FramePattern(options.out).path(number), frame, inputs.settings);
    return size_note(frame.width(), frame.height());
}

}  // namespace

int run_comp(const CompOptions& options, const GlobalOptions& global) {
    check_output_options(options);
    const FrameRange frames = frames_to_run(
        options.frames, std::nullopt, {options.render, options.render_depth, options.zbuffer, options.comp, options.out});
    check_output_pattern("-o/--output", options.out, frames);
    const auto module = host::Module::open(global.module_path);
    host::MessageLog log;
    RenderSession session(*module, {compositor_spec(DEPTH_IMAGE, COMP_IMAGE)}, worker_count(global.threads, 1 << 16),
                          log);
    const FramePattern out(options.out);
    FrameLoop loop("compositing", frames, {options.render, options.render_depth, options.zbuffer, options.comp},
                   global);
    std::string size;
    loop.run([&](int32_t number) { return read_comp_frame(options, *module, number); },
             [&](int32_t number, CompInputs inputs) {
                 size = finish_comp_frame(options, session, number, std::move(inputs));
                 return std::vector<std::string>{out.path(number)};
             });
    print_wrote_frames(out, loop.done(), size);
    return loop.finish();
}

}  // namespace zhost
