// `zhost comp`: one frame composited by depth through the module's "OBK_ZComp",
// its two images chosen in the compositor's own panel.
#include <cstdio>

#include "host/messages.h"
#include "zhost/commands.h"
#include "zhost/error.h"
#include "zhost/frames.h"
#include "zhost/list_images.h"
#include "zhost/image_io.h"
#include "zhost/render_session.h"
#include "zhost/report.h"
#include "zhost/timings.h"

namespace zhost {
namespace {

constexpr const char* DEPTH_IMAGE = "zbuffer";
constexpr const char* COMP_IMAGE = "comp";

host::Image read_zbuffer(const host::Module& module, const std::string& path) {
    host::Image depth = read_list_image(module, DEPTH_IMAGE, path);
    if (depth.channels != 1) {
        depth = read_depth(path);  // the Z of an image with colour, or a clear refusal
        depth.name = DEPTH_IMAGE;
    }
    return depth;
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

int run_comp(const CompOptions& options, const GlobalOptions& global) {
    host::Frame frame = [&] {
        const StageTimer timer("read render");
        const RgbaAndDepth render = options.render_depth.empty()
                                        ? read_rgba_and_depth(options.render)
                                        : RgbaAndDepth{read_rgba(options.render), read_depth(options.render_depth)};
        check_same_size(render.rgba, render.depth);
        return make_frame(render.depth, &render.rgba, 1);
    }();
    const auto module = host::Module::open(global.module_path);
    std::vector<host::Image> images;
    {
        const StageTimer timer("read images");
        images.push_back(read_zbuffer(*module, options.zbuffer));
        images.push_back(read_rgba(options.comp));
        images.back().name = COMP_IMAGE;
    }
    host::MessageLog log;
    RenderSession session(*module, {compositor_spec(DEPTH_IMAGE, COMP_IMAGE)},
                          worker_count(global.threads, frame.height()), log);
    {
        const StageTimer timer("composite");
        session.render(frame, std::move(images));
    }
    {
        const StageTimer timer("write output");
        write_frame_image(options.out, frame);
    }
    report("wrote %s  (%dx%d)\n", options.out.c_str(), frame.width(), frame.height());
    return 0;
}

}  // namespace zhost
