// `zhost comp`: frames composited by depth through the module's "OBK_ZComp",
// its two images chosen in the compositor's own panel.
#include <algorithm>
#include <bit>
#include <cmath>
#include <future>

#include "host/messages.h"
#include "zhost/commands/commands.h"
#include "zhost/images/frames.h"
#include "zhost/images/image_io.h"
#include "zhost/running/list_images.h"
#include "zhost/running/module.h"
#include "zhost/running/render_session.h"
#include "zhost/sequences/frame_loop.h"
#include "zhost/sequences/sequence.h"
#include "zhost/text/error.h"
#include "zhost/text/one_line.h"
#include "zhost/text/report.h"
#include "zhost/text/timings.h"

namespace zhost {
namespace {

constexpr const char* DEPTH_IMAGE = "zbuffer";
constexpr const char* COMP_IMAGE = "comp";

// The depth of a depth image: its only channel, or the Z (or the channel
// named) of an image with colour.
ChannelChoice depth_choice(const ImageFile& file, const std::string& depth_channel) {
    return {"", "", file.channel_names().size() == 1 ? "" : depth_channel};
}

// The depth image, or a clear refusal; its colour is not decoded.
host::Image read_zbuffer(const host::Module& module, const std::string& path, const std::string& depth_channel,
                         const Placement& placement, HeldImages& account) {
    if (extension_of(path) == ".zb") return read_list_image(module, DEPTH_IMAGE, path, &placement, &account);
    ImageFile file(path, "", &account);
    host::Image depth = read_depth(file, depth_choice(file, depth_channel), &placement);
    depth.name = DEPTH_IMAGE;
    return depth;
}

// The comp image's colour (all the compositor takes of it), its file kept
// open for its other channels, and with `also_depth` the depth image from
// the same file and the same decode.
struct CompImage {
    ImageFile file;
    host::Image colour;
    host::Image depth;
};

CompImage read_comp_image(const std::string& path, const std::string& depth_channel, bool also_depth,
                          const Placement& placement, HeldImages& account) {
    ImageFile file(path, "", &account);
    if (!also_depth) {
        host::Image colour = read_rgb(file, {}, &placement);
        colour.name = COMP_IMAGE;
        return {std::move(file), std::move(colour), {}};
    }
    DepthAndRgb both = read_depth_and_rgb(file, depth_choice(file, depth_channel), &placement);
    both.rgb.name = COMP_IMAGE;
    both.depth.name = DEPTH_IMAGE;
    return {std::move(file), std::move(both.rgb), std::move(both.depth)};
}

// Output options that the output's format cannot honour are usage errors.
void check_output_options(const CompOptions& options) {
    check_compression(options.out, options.compression);
    const std::string extension = extension_of(options.out);
    if (!options.data_type.empty() && extension != ".exr" && extension != ".tif" && extension != ".tiff") {
        throw UsageError("-d applies to EXR and TIFF outputs, not " + options.out);
    }
}

// The render's channels beyond R, G, B, A and Z, and those of them that the
// composite image has too, placed as the composite image is.
struct OtherChannels {
    StoredChannels render;
    StoredChannels comp;
    std::vector<std::size_t> shared;  // index in `render` of each channel of `comp`
};

OtherChannels read_other_channels(const RenderFrame& render, ImageFile& render_file, ImageFile& comp_file) {
    OtherChannels others;
    others.render = read_stored_channels(render_file, render.other_channels);
    const std::vector<std::string>& comp_names = comp_file.channel_names();
    std::vector<std::string> shared;
    for (std::size_t k = 0; k < others.render.names.size(); ++k) {
        if (std::find(comp_names.begin(), comp_names.end(), others.render.names[k]) == comp_names.end()) continue;
        shared.push_back(others.render.names[k]);
        others.shared.push_back(k);
    }
    if (!shared.empty()) others.comp = read_stored_channels(comp_file, shared, &render.placement);
    return others;
}

// The composite image's column (row) for frame column (row) `p`, as the
// compositor maps it for an image `size` wide (high) in a frame `frame`
// wide (high), clamped to the image as the image list clamps it.
int32_t comp_position(int32_t p, int32_t size, int32_t frame) {
    int32_t position = p;
    if (size != frame) {
        const double factor = double(float(double(size) / double(frame)));
        position = int32_t(double(p) * factor + 0.5);
    }
    return std::clamp(position, 0, size - 1);
}

// The compositor took the composite image at a pixel exactly where it
// changed the depth: it writes the depth image's value there, which is
// strictly nearer than the render's or a NaN (either was a NaN).
bool comp_taken(float rendered, float written) {
    return std::isnan(written) || std::bit_cast<uint32_t>(rendered) != std::bit_cast<uint32_t>(written);
}

// The render's channels that the composite image has too take its value
// wherever the compositor took its colour.
void follow_compositor(const std::vector<float>& rendered_depth, const host::Frame& frame, OtherChannels& others) {
    if (others.shared.empty()) return;
    const std::span<const float> written = frame.samples(BUF_DEPTH);
    const Window& comp = others.comp.window;
    for (int32_t y = 0; y < frame.height(); ++y) {
        const int32_t comp_y = comp_position(y, comp.height, frame.height());
        for (int32_t x = 0; x < frame.width(); ++x) {
            const std::size_t pixel = std::size_t(y) * std::size_t(frame.width()) + std::size_t(x);
            if (!comp_taken(rendered_depth[pixel], written[pixel])) continue;
            const std::size_t from =
                std::size_t(comp_y) * std::size_t(comp.width) + std::size_t(comp_position(x, comp.width, frame.width()));
            for (std::size_t k = 0; k < others.shared.size(); ++k) {
                const std::size_t to = others.shared[k];
                convert_sample(others.comp.types[k], others.comp.sample(from, k), others.render.types[to],
                               others.render.sample(pixel, to));
            }
        }
    }
}

// Types of the output's channels beyond R, G, B, A and Z: as stored, a
// float or half channel as `data_type` says when given.
void add_other_types(OutputSettings& settings, const StoredChannels& others, const std::string& data_type) {
    if (data_type.empty()) return;
    for (OIIO::TypeDesc type : others.types) {
        const bool floating = type == OIIO::TypeDesc::HALF || type == OIIO::TypeDesc::FLOAT;
        settings.types.push_back(floating ? OIIO::TypeDesc(data_type) : type);
    }
}

// An output that holds channels beyond colour and depth: EXR and TIFF.
bool holds_other_channels(const std::string& path) { return keeps_floats(path) && extension_of(path) != ".pfm"; }

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

// The inputs of one frame, read, and what its output follows.
struct CompInputs {
    RenderFrame render;
    host::Image zbuffer;
    host::Image comp;
    OutputSettings settings;
    OtherChannels others;
    std::vector<float> rendered_depth;  // with channels that follow the compositor's pick
};

// Reads the render's channels beyond R, G, B, A and Z into `in` (and the
// comp image's of the same names, with a copy of the render's depth to
// tell where the compositor takes them).
void read_other_channels(CompInputs& in, const CompOptions& options, ImageFile& render_file, ImageFile& comp_file,
                         HeldImages& account) {
    in.others = read_other_channels(in.render, render_file, comp_file);
    add_other_types(in.settings, in.others.render, options.data_type);
    if (in.others.shared.empty()) return;
    const std::span<const float> depth = in.render.frame.samples(BUF_DEPTH);
    hold_image_bytes(&account, "a copy of the render's depth", depth.size() * sizeof(float));
    in.rendered_depth.assign(depth.begin(), depth.end());
}

// Reads one frame's inputs: every pattern of the command expanded with the
// frame's number. The three inputs are independent files, read at the same
// time; a failure is reported as it would be reading them one after another
// (render, depth image, composite image). One file that is both the depth
// image and the composite image is opened and decoded once.
CompInputs read_comp_frame(const CompOptions& options, Context& context, const host::Module& module, int32_t number,
                           HeldImages& account) {
    const auto path = [number](const std::string& pattern) {
        return pattern.empty() ? pattern : FramePattern(pattern).path(number);
    };
    ImageFile render_file(path(options.render), options.subimage, &account);
    Placement placement = placement_of(render_file);
    placement.refuse_scaling = options.no_scale;
    const std::string zbuffer_path = path(options.zbuffer);
    const bool one_file = zbuffer_path == path(options.comp) && extension_of(zbuffer_path) != ".zb";
    std::future<host::Image> zbuffer;
    if (!one_file) {
        zbuffer = std::async(std::launch::async, [&] {
            const StageTimer timer(context.timings, "read depth image");
            return read_zbuffer(module, zbuffer_path, options.depth_channel, placement, account);
        });
    }
    auto comp = std::async(std::launch::async, [&] {
        const StageTimer timer(context.timings, "read comp image");
        return read_comp_image(path(options.comp), options.depth_channel, one_file, placement, account);
    });
    RenderFrame render = [&] {
        const StageTimer timer(context.timings, "read render");
        return read_render(render_file, {options.subimage, options.render_layer, options.depth_channel},
                           path(options.render_depth), number);
    }();
    OutputSettings settings = follow_render(render.source, options.data_type, options.compression);
    settings.history = context.command_line;
    host::Image depth_image = one_file ? host::Image{} : zbuffer.get();
    CompImage comp_image = comp.get();
    if (one_file) depth_image = std::move(comp_image.depth);
    CompInputs in{std::move(render), std::move(depth_image), std::move(comp_image.colour), std::move(settings), {}, {}};
    if (!in.render.other_channels.empty() && holds_other_channels(options.out)) {
        const StageTimer timer(context.timings, "read other channels");
        read_other_channels(in, options, render_file, comp_image.file, account);
    }
    return in;
}

// Composites one frame read and writes it. Returns the size written, "(WxH)".
std::string finish_comp_frame(const CompOptions& options, Timings& timings, RenderSession& session, int32_t number,
                              CompInputs in, HeldImages& account) {
    host::Frame& frame = in.render.frame;
    std::vector<host::Image> images;
    images.push_back(std::move(in.zbuffer));
    images.push_back(std::move(in.comp));
    note_scaling("depth image", images[0], frame);
    note_scaling("comp image", images[1], frame);
    {
        const StageTimer timer(timings, "composite");
        session.render(frame, std::move(images));
        follow_compositor(in.rendered_depth, frame, in.others);
    }
    const StageTimer timer(timings, "write output");
    write_frame_image(FramePattern(options.out).path(number), frame, in.settings, &in.others.render, &account);
    return size_note(frame.width(), frame.height());
}

}  // namespace

int run_comp(const CompOptions& options, Context& context) {
    check_output_options(options);
    const FrameRange frames = frames_to_run(
        options.frames, std::nullopt, {options.render, options.render_depth, options.zbuffer, options.comp, options.out});
    check_output_pattern("-o/--output", options.out, frames);
    const auto module = open_module(context.global.module_path);
    host::MessageLog log;
    RenderSession session(*module, {compositor_spec(DEPTH_IMAGE, COMP_IMAGE)},
                          worker_count(context.global.threads, 1 << 16), log);
    const FramePattern out(options.out);
    FrameLoop loop("compositing", frames, {options.render, options.render_depth, options.zbuffer, options.comp},
                   context);
    std::string size;
    loop.run([&](int32_t number, HeldImages& account) {
                 return read_comp_frame(options, context, *module, number, account);
             },
             [&](int32_t number, CompInputs inputs, HeldImages& account) {
                 size = finish_comp_frame(options, context.timings, session, number, std::move(inputs), account);
                 return std::vector<std::string>{out.path(number)};
             });
    print_wrote_frames(context.reporter, out, loop.done(), size);
    return loop.finish();
}

}  // namespace zhost
