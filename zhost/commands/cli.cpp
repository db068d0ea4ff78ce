// The command line: subcommands, their options and help, and the mapping of
// outcomes to exit statuses (0 success, 1 refused input or plug-in error,
// 2 usage error).
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "obk_version.h"
#include "zhost/commands/commands.h"
#include "zhost/images/frames.h"
#include "zhost/images/image_io.h"
#include "zhost/running/module.h"
#include "zhost/sequences/sequence.h"
#include "zhost/text/error.h"
#include "zhost/text/one_line.h"
#include "zhost/text/report.h"
#include "zhost/text/suggest.h"
#include "zhost/text/timings.h"

namespace zhost {
namespace {

// Prints the stage timings (when asked for) however the command ends.
struct PrintTimingsAtEnd {
    const Timings& timings;
    ~PrintTimingsAtEnd() {
        std::fflush(stdout);
        timings.print(stderr);
    }
};

constexpr int EXIT_REFUSED = 1;
constexpr int EXIT_USAGE = 2;
constexpr const char* FRAMES_HELP = "Frames of a sequence: A-B, A-BxN (every Nth) or a list such as 1,3,5-9";

constexpr const char* COMPOSITING_RULE =
    "OBK_ZComp's rule: a pixel takes the composite image's colour and the depth image's depth where\n"
    "the depth image is nearer than the render; alpha stays the render's.";

constexpr const char* COMP_CHANNELS_RULE =
    "\nThe frame is the render's data window, overscan included; its display window goes to the\n"
    "output. Other images lie by pixel coordinates; one whose display window has another size\n"
    "than the render's is scaled to it by OBK_ZComp (said on stderr; refused with --no-scale).\n"
    "EXR and TIFF outputs keep every channel of the render with its name, layer and type\n"
    "(TIFF as floats). A channel that the comp image has too takes the comp image's value where\n"
    "OBK_ZComp took its colour (the depth image strictly nearer), the render's elsewhere; the\n"
    "render's other channels pass through unchanged. Alpha stays the render's, as OBK_ZComp\n"
    "keeps it: this is not a premultiplied over. oiiotool --zover lays the nearer pixel over\n"
    "the farther by its alpha, so where the nearer pixel is partly transparent its colour,\n"
    "alpha and channels blend with the farther one's; here they are replaced whole.\n";

constexpr const char* DEMO_EXAMPLE = "zhost demo --out out/demo --frame-count 2 --size 160x90";
constexpr const char* COMP_EXAMPLE =
    "zhost comp --render inputs/render.0001.exr --zbuffer inputs/zbuf0001.zb --comp inputs/comp.0001.exr "
    "-o out/comp.0001.exr";

// The end of a command's help: the compositing rule, then `examples`, which
// run as they are in examples/ once examples/make-inputs.sh has made its
// inputs.
std::string help_footer(std::initializer_list<const char*> examples, const char* after_rule = "") {
    std::string footer = std::string(COMPOSITING_RULE) + "\n" + after_rule +
                         "\nExamples (in examples/, after examples/make-inputs.sh):";
    for (const char* example : examples) footer += std::string("\n  ") + example;
    return footer + "\n";
}

struct Options {
    GlobalOptions global;
    DemoOptions demo;
    SaveOptions save;
    LoadOptions load;
    InfoOptions info;
    CompOptions comp;
    RenderOptions render;
    SubmitOptions submit;
};

void add_global_options(CLI::App& app, GlobalOptions& global) {
    global.module_path = default_module_path();
    app.add_option("--module", global.module_path,
                   "Plug-in module file (default: OBKzcomp.p beside zhost, or $ZHOST_MODULE)");
    CLI::Option* quiet = app.add_flag("-q,--quiet", global.quiet, "No progress bar and no \"wrote\" lines");
    CLI::Option* verbose = app.add_flag("-v,--verbose", global.verbose, "A line for each frame done")->excludes(quiet);
    app.add_option("--progress", global.progress,
                   "json: one JSON line on stdout for each frame done (frame, outputs, seconds), and nothing else")
        ->check(CLI::IsMember({"json"}))
        ->excludes(verbose);
    app.add_flag("--timings", global.timings, "Print the time each stage took on stderr at the end");
    app.add_option("--max-image-mb", global.max_image_mb,
                   "Most memory for the images of the frames in flight, in MB of decoded samples (default: an eighth of this machine's memory, " +
                       std::to_string(default_max_image_bytes() >> 20) + " MB)")
        ->check(CLI::Range(uint64_t{1}, uint64_t{1} << 40));
}

// The command line as the ImageHistory of outputs records it; arguments
// with blanks or quotes are quoted.
std::string command_line(int argc, char** argv) {
    std::string line = "zhost";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool quote = arg.empty() || arg.find_first_of(" \t\"'") != std::string::npos;
        line += " " + (quote ? "\"" + arg + "\"" : arg);
    }
    return one_line(line);
}

CLI::App* add_demo(CLI::App& app, DemoOptions& demo) {
    CLI::App* command = app.add_subcommand(
        "demo", "Render a procedural scene in two layers, save the second as depth files, load them back and "
                "composite it into the first; write PNG previews");
    command->add_option("--out", demo.out_dir, "Output directory")->capture_default_str();
    command->add_option("--frame-count", demo.frame_count, "Number of frames")
        ->check(CLI::Range(1, 1000))->capture_default_str();
    command->add_option("--frames", demo.frames, "")->group("");  // refused with a hint in run_demo
    command->add_option("--size", demo.size, "Frame size WIDTHxHEIGHT")->capture_default_str();
    command->footer(help_footer({DEMO_EXAMPLE}));
    return command;
}

CLI::App* add_save(CLI::App& app, SaveOptions& save) {
    CLI::App* command = app.add_subcommand(
        "save", "Write depth files PATH0001.zb ... through OBK_ZSave from the depth of images");
    command->add_option("DEPTH", save.depth,
                        "Depth image, or a sequence pattern with #, @ or %04d (the EXR channel Z by default, or a "
                        "one-channel image)")->required();
    command->add_option("--base", save.base, "Base path of the depth files (the saver adds 0001.zb ...)")->required();
    command->add_option("--rgb", save.rgb, "Colour image (or pattern) passed through the saver");
    CLI::Option* frame = command->add_option("--frame", save.frame, "Frame number of a single image");
    CLI::Option* frames = command->add_option("--frames", save.frames, FRAMES_HELP);
    frame->excludes(frames);
    command->add_option("--depth-channel", save.depth_channel, "Channel that holds the depth");
    command->footer(help_footer({"zhost save inputs/depth.####.exr --frames 1-2 --base out/zbuf",
                                 "zhost save inputs/render.0001.exr --frame 1 --base out/single"}));
    return command;
}

CLI::App* add_load(CLI::App& app, LoadOptions& load) {
    CLI::App* command = app.add_subcommand("load", "Read a depth file through OBK_ZLoad and write it as an image");
    command->add_option("FILE", load.file, "Depth file (.zb), or a pattern with #, @ or %04d")->required();
    command->add_option("-o,--output", load.out,
                        "Output image: EXR, TIFF and PFM keep the floats; 8-bit formats get a false-colour picture")
        ->required();
    command->add_option("--frames", load.frames, FRAMES_HELP);
    command->add_flag("--preview", load.preview, "Write a normalised false-colour picture");
    command->add_option("--far", load.far,
                        "Previews: depths at or above this are background, painted grey (default: 1e10; "
                        "infinities always are)");
    command->add_option("--range", load.range,
                        "Previews: NEAR,FAR depths at the ends of the colours (default: the 1st and 99th "
                        "percentiles of the depths before the background); sequence: one range for all frames, "
                        "covering each frame's own, so that colours do not flicker");
    command->add_flag("--log", load.log, "Previews: colours on a logarithmic scale of depth");
    command->add_flag_callback("--no-legend", [&load] { load.legend = false; },
                               "Previews: no legend strip, the picture keeps the depth image's size");
    command->add_option("--compression", load.compression, "EXR or TIFF compression (default: zip)");
    command->footer(help_footer({"zhost load inputs/zbuf0001.zb -o out/depth.exr",
                                 "zhost load inputs/zbuf0001.zb -o out/depth.png --preview"}));
    return command;
}

CLI::App* add_info(CLI::App& app, InfoOptions& info) {
    CLI::App* command = app.add_subcommand(
        "info", "Show the header, size and statistics of depth files, and why a refused file is refused");
    command->add_option("FILE", info.files,
                        "Depth files (.zb) and patterns with #, @ or %04d (without --frames: the files on disk)")
        ->required();
    command->add_option("--frames", info.frames, FRAMES_HELP);
    command->add_flag("--json", info.json, "A JSON list with one object per file, the header in words");
    command->footer(help_footer({"zhost info inputs/zbuf0001.zb inputs/zbuf0002.zb"}));
    return command;
}

CLI::App* add_comp(CLI::App& app, CompOptions& comp) {
    CLI::App* command = app.add_subcommand(
        "comp", "Composite an image into a render by depth through OBK_ZComp, pixel by pixel");
    command->add_option("--render", comp.render, "Rendered image: RGBA, and Z unless --render-depth is given")
        ->required();
    command->add_option("--render-depth", comp.render_depth, "Depth of the render, as a separate image");
    command->add_option("--zbuffer", comp.zbuffer, "Depth image: a .zb file or any float image")->required();
    command->add_option("--comp", comp.comp, "Image to composite")->required();
    command->add_option("-o,--output", comp.out, "Output: every channel of the render (EXR, TIFF) or RGBA")->required();
    command->add_option("--frames", comp.frames, FRAMES_HELP + std::string("; every pattern takes the same frame"));
    command->add_option("--render-layer", comp.render_layer,
                        "Layer of the render whose LAYER.R, LAYER.G, LAYER.B, LAYER.A (and LAYER.Z) to composite");
    command->add_option("--depth-channel", comp.depth_channel,
                        "Depth channel of the render (default: Z), and of the depth image when it has several");
    command->add_option("--subimage", comp.subimage, "Part of a multi-part render file, by index or name");
    command->add_option("-d", comp.data_type, "Sample type of EXR and TIFF outputs (default: as the render stores it)")
        ->check(CLI::IsMember({"float", "half"}));
    command->add_option("--compression", comp.compression,
                        "EXR or TIFF compression (default: the render's, as oiiotool keeps it)");
    command->add_flag("--no-scale", comp.no_scale,
                      "Refuse a depth or comp image whose display window differs in size from the render's");
    command->footer(help_footer(
        {COMP_EXAMPLE, "zhost comp --render inputs/render.0002.exr --zbuffer inputs/depth.0002.exr "
                       "--comp inputs/comp.0002.exr -o out/comp.0002.png"},
        COMP_CHANNELS_RULE));
    return command;
}

CLI::App* add_render(CLI::App& app, RenderOptions& render) {
    CLI::App* command = app.add_subcommand("render", "Run a scene file: inputs, image list and plug-in instances");
    command->add_option("SCENE", render.scene, "Scene file (.json)")->required();
    command->add_option("--frames", render.frames, FRAMES_HELP + std::string(" (default: the scene's)"));
    command->add_option("--save-scene", render.save_scene, "Write the scene back after the run");
    CLI::Option* options =
        command->add_option("--options", render.options,
                            "Run the options (requester or panel) of the named server before the first frame, with "
                            "the scene's scripted answers");
    command->add_option("--answer", render.answers,
                        "Scripted answer LABEL=VALUE for --options: a panel control's image by name, or path=FILE "
                        "for a file requester")
        ->needs(options);
    command->footer(help_footer({"zhost render scene.json --save-scene out/scene-saved.json",
                                 "zhost render scene.json --frames 2 --options OBK_ZSave --answer path=out/again"}));
    return command;
}

CLI::App* add_submit(CLI::App& app, SubmitOptions& submit) {
    CLI::App* command = app.add_subcommand(
        "submit", "Run a command that takes --frames on a Slurm cluster: one array job, a task per chunk of frames, "
                  "each running this zhost");
    command->add_option("SCHEDULER", submit.scheduler, "The farm's scheduler: slurm")
        ->required()
        ->check(CLI::IsMember({"slurm"}));
    command->add_option("--chunk", submit.chunk, "Frames per task")
        ->check(CLI::Range(1, int(MAX_FRAMES_IN_RANGE)))
        ->capture_default_str();
    command->add_option("--partition", submit.partition, "Slurm partition (default: the cluster's)");
    command->add_flag("--wait", submit.wait,
                      "Wait for the job; name each chunk that failed with its frames and log (exit status 1)");
    command->add_flag("--dry-run", submit.dry_run, "Print the job script; write and submit nothing");
    command->add_option("COMMAND", submit.command,
                        "After --: the zhost command and its arguments, --frames among them (paths as seen from "
                        "here, on storage that every node shares)")
        ->required();
    command->footer(help_footer({"zhost submit slurm --chunk 1 --dry-run -- comp --render inputs/render.####.exr "
                                 "--zbuffer inputs/zbuf####.zb --comp inputs/comp.####.exr -o out/comp.####.exr "
                                 "--frames 1-2"}));
    return command;
}

// The commands that run sequences take --skip-missing.
void add_skip_missing(CLI::App& command, bool& skip_missing) {
    command.add_flag("--skip-missing", skip_missing,
                     "Leave out the frames whose input files are missing, run the others, name those left out at "
                     "the end (exit status 1)");
}

// The commands that compute pixels take --threads.
void add_threads(CLI::App& command, int& threads) {
    command.add_option("--threads", threads, "Worker threads (0: one per processor)")
        ->check(CLI::Range(0, 256))
        ->capture_default_str();
}

// Memory ran out although each image fits the limit: the command's images
// together do not fit in what the machine or the process may take.
int out_of_memory(const ImageBudget& images) {
    std::fprintf(stderr,
                 "zhost: out of memory: this command's images do not fit in the memory available "
                 "(each image may take up to %llu MB, --max-image-mb)\n",
                 static_cast<unsigned long long>(images.limit() >> 20));
    return EXIT_REFUSED;
}

int usage_error(const std::string& what) {
    std::fprintf(stderr, "zhost: %s\nRun 'zhost --help' or 'zhost COMMAND --help' for usage.\n",
                 one_line(what).c_str());
    return EXIT_USAGE;
}

// A usage error for a command line without a command; names a mistyped
// command with the one meant.
int usage_error(const CLI::ParseError& error, const CLI::App& app) {
    const std::vector<std::string> left = app.remaining();
    if (!app.get_subcommands().empty() || left.empty() || left.front().rfind('-', 0) == 0) {
        return usage_error(error.what());
    }
    std::vector<std::string> commands;
    for (const CLI::App* command : app.get_subcommands({})) commands.push_back(command->get_name());
    return usage_error("unknown command '" + left.front() + "'" + did_you_mean(left.front(), commands));
}

Verbosity verbosity_of(const GlobalOptions& global) {
    if (global.quiet) return Verbosity::QUIET;
    return global.verbose ? Verbosity::VERBOSE : Verbosity::NORMAL;
}

}  // namespace

Context::Context(const GlobalOptions& options, std::string line)
    : global(options),
      command_line(std::move(line)),
      reporter{verbosity_of(options), options.progress == "json"},
      timings(options.timings),
      images(options.max_image_mb << 20) {}

int run(int argc, char** argv) {
    CLI::App app{"zhost: save, inspect, load and composite depth buffers with the OBKzcomp module", "zhost"};
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", "zhost " OBK_VERSION, "Print the version of zhost and its module release");
    Options options;
    add_global_options(app, options.global);
    app.footer(help_footer({DEMO_EXAMPLE, COMP_EXAMPLE}));
    CLI::App* servers = app.add_subcommand("servers", "List the module's servers");
    servers->footer(help_footer({"zhost servers"}));
    CLI::App* demo = add_demo(app, options.demo);
    CLI::App* save = add_save(app, options.save);
    CLI::App* load = add_load(app, options.load);
    CLI::App* info = add_info(app, options.info);
    CLI::App* comp = add_comp(app, options.comp);
    CLI::App* render = add_render(app, options.render);
    CLI::App* submit = add_submit(app, options.submit);
    for (CLI::App* command : {demo, save, load, comp, render}) add_threads(*command, options.global.threads);
    for (CLI::App* command : {save, load, comp, render}) add_skip_missing(*command, options.global.skip_missing);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForAllHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForVersion& version) {
        return app.exit(version);
    } catch (const CLI::ParseError& error) {
        return usage_error(error, app);
    }

    use_image_threads(options.global.threads);
    Context context(options.global, command_line(argc, argv));
    const PrintTimingsAtEnd timings_at_end{context.timings};
    try {
        if (servers->parsed()) return run_servers(context);
        if (demo->parsed()) return run_demo(options.demo, context);
        if (save->parsed()) return run_save(options.save, context);
        if (load->parsed()) return run_load(options.load, context);
        if (info->parsed()) return run_info(options.info, context);
        if (comp->parsed()) return run_comp(options.comp, context);
        if (render->parsed()) return run_render(options.render, context);
        if (submit->parsed()) return run_submit(options.submit, context);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "zhost: %s\n", one_line(error.what()).c_str());
        return EXIT_USAGE;
    } catch (const std::bad_alloc&) {
        return out_of_memory(context.images);
    } catch (const std::length_error&) {
        return out_of_memory(context.images);
    } catch (const std::exception& error) {
        // zhost::Error and host::HostError carry one-line reasons; anything
        // else is reported the same way. A plug-in's message may be followed
        // by the system's reason for it.
        std::fprintf(stderr, "zhost: %s\n", one_line(error.what()).c_str());
        const auto* failure = dynamic_cast<const Error*>(&error);
        if (failure != nullptr && !failure->cause().empty()) {
            std::fprintf(stderr, "zhost: %s\n", one_line(failure->cause()).c_str());
        }
        return EXIT_REFUSED;
    }
    return EXIT_USAGE;
}

}  // namespace zhost
