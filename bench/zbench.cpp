// zbench: the plug-in's servers through the host against their limits and
// against OpenImageIO, measured side by side in one run, medians and ratios.
//
//   zbench [--size WxH] [--demo-size WxH] [--demo-frames N] [--threads N]
//          [--module PATH] [--zhost PATH] [--oiiotool PATH] [--command-runs N]
//          [benchmark flags]
#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/commands.h"
#include "bench/rigs.h"
#include "bench/workload.h"
#include "host/image_list.h"
#include "host/image_loader.h"
#include "zbuf/zbuf.h"
#include "zhost/images/demo_scene.h"
#include "zhost/images/frames.h"
#include "zhost/images/image_io.h"
#include "zhost/images/preview.h"
#include "zhost/running/scene_file.h"
#include "zhost/sequences/sequence.h"

namespace {

using bench::ScratchDir;

struct Options {
    int32_t width = 3840;
    int32_t height = 2160;
    int32_t demo_width = 640;
    int32_t demo_height = 360;
    int max_threads = int(std::max(1u, std::thread::hardware_concurrency()));
    std::string module = OBK_MODULE_PATH;
    std::string zhost = OBK_ZHOST_PATH;
    std::string oiiotool = bench::find_on_path("oiiotool");
    int demo_frames = 24;
    int command_runs = 5;
    int32_t sequence_width = 1920;
    int32_t sequence_height = 1080;
    int sequence_frames = 16;
    bool sequence_only = false;  // only the sequence comparison of (e)
};

void parse_size(const std::string& text, int32_t& width, int32_t& height) {
    int w = 0, h = 0;
    char end = 0;
    if (std::sscanf(text.c_str(), "%dx%d%c", &w, &h, &end) != 2 || w < 1 || h < 1 || w > 16384 || h > 16384) {
        throw std::runtime_error("size \"" + text + "\" is not WxH");
    }
    width = w;
    height = h;
}

// Takes zbench's own flags out of argv; the rest goes to Google Benchmark.
Options parse_options(int& argc, char** argv) {
    Options options;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--size") parse_size(value(), options.width, options.height);
        else if (arg == "--demo-size") parse_size(value(), options.demo_width, options.demo_height);
        else if (arg == "--threads") options.max_threads = std::max(1, std::atoi(value().c_str()));
        else if (arg == "--module") options.module = value();
        else if (arg == "--zhost") options.zhost = value();
        else if (arg == "--oiiotool") options.oiiotool = value();
        else if (arg == "--demo-frames") options.demo_frames = std::clamp(std::atoi(value().c_str()), 1, 1000);
        else if (arg == "--command-runs") options.command_runs = std::max(1, std::atoi(value().c_str()));
        else if (arg == "--sequence-size") parse_size(value(), options.sequence_width, options.sequence_height);
        else if (arg == "--sequence-frames") options.sequence_frames = std::clamp(std::atoi(value().c_str()), 1, 1000);
        else if (arg == "--sequence-only") options.sequence_only = true;
        else argv[kept++] = argv[i];
    }
    argc = kept;
    return options;
}

// Per-repetition times (ms per iteration) of each benchmark, by name; the
// console shows the aggregates only.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        std::vector<Run> shown;
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration) {
                times_[run.run_name.function_name].push_back(run.GetAdjustedRealTime());
                if (run.repetitions <= 1) shown.push_back(run);
            } else {
                shown.push_back(run);
            }
        }
        if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
    }

    double median(const std::string& name) const {
        const auto found = times_.find(name);
        if (found == times_.end() || found->second.empty()) return 0.0;
        std::vector<double> t = found->second;
        std::sort(t.begin(), t.end());
        const std::size_t n = t.size();
        return n % 2 ? t[n / 2] : (t[n / 2 - 1] + t[n / 2]) / 2.0;
    }

private:
    std::map<std::string, std::vector<double>> times_;
};

std::string cpu_model() {
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    }
    return "unknown";
}

std::string load_average() {
    std::ifstream load("/proc/loadavg");
    std::string one, five, fifteen;
    load >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// A scratch file name "<stem><n><extension>".
std::string numbered(const ScratchDir& dir, const char* stem, int n, const char* extension) {
    char name[64];
    std::snprintf(name, sizeof name, "%s%d%s", stem, n, extension);
    return dir.file(name);
}

template <typename Body>
void add(const std::string& name, Body body) {
    benchmark::RegisterBenchmark(name.c_str(), body)->Unit(benchmark::kMillisecond)->UseRealTime();
}

// ---- (d) the demo's stages ------------------------------------------------------

host::Frame frame_of(const zhost::RenderedLayer& layer) { return zhost::make_frame(layer.depth, &layer.rgba, 1); }

host::Image rgba_of(const host::Frame& frame, std::string name) {
    host::Image image = zhost::frame_rgba(frame);
    image.name = std::move(name);
    return image;
}

struct Stage {
    const char* name;
    const char* what;
};
constexpr Stage DEMO_STAGES[] = {
    {"demo/render", "render both layers (1 thread each)"},
    {"demo/previews_png", "encode and write 4 PNG previews"},
    {"demo/exr_write", "encode and write the composite as EXR"},
    {"demo/exr_read", "decode an RGBA+Z EXR (read_rgba + read_depth)"},
    {"demo/save", "depth saver through the host, new file"},
    {"demo/load", "depth loader through the host"},
    {"demo/comp", "compositor through the host, 1 thread"},
};

// ---- (f) scenes with many images ----------------------------------------------------

constexpr int SCENE_IMAGE_COUNTS[] = {10000, 100000};

// A scene file of `count` images, all of one depth file.
std::string write_scene_of_images(const ScratchDir& dir, int count) {
    nlohmann::json images = nlohmann::json::array();
    for (int i = 0; i < count; ++i) images.push_back({{"name", "image " + std::to_string(i)}, {"file", "z.zb"}});
    const nlohmann::json scene = {{"frames", "1"}, {"render", {{"rgba", "r.exr"}}}, {"images", images}};
    const std::string path = dir.file("scene-" + std::to_string(count) + ".json");
    std::ofstream(path) << scene.dump();
    return path;
}

host::Image one_pixel_image(int index) {
    host::Image image;
    image.name = "image " + std::to_string(index);
    image.width = image.height = image.channels = 1;
    image.pixels = {1.0f};
    return image;
}

// Reading the scene and adding its images to an image list, each at two
// counts: equal times per image when both grow linearly.
void add_scene_benchmarks(const ScratchDir& dir) {
    for (int count : SCENE_IMAGE_COUNTS) {
        const std::string n = std::to_string(count);
        add("scene/read/images:" + n, [path = write_scene_of_images(dir, count)](benchmark::State& state) {
            for (auto _ : state) benchmark::DoNotOptimize(zhost::read_scene_file(path));
        });
        add("scene/image_list/images:" + n, [count](benchmark::State& state) {
            for (auto _ : state) {
                host::ImageList list;
                for (int i = 0; i < count; ++i) list.add(one_pixel_image(i));
                benchmark::DoNotOptimize(list.size());
            }
        });
    }
}

// ---- the comparison table ---------------------------------------------------------

void print_ratio(const char* label, double ratio, const char* relation, double target) {
    if (ratio <= 0) {
        std::printf("  %-58s not measured\n", label);
        return;
    }
    const bool met = relation[0] == '<' ? ratio <= target : ratio >= target;
    std::printf("  %-58s %7.2fx   target %s %.2fx  %s\n", label, ratio, relation, target, met ? "met" : "MISSED");
}

void print_report(const CollectingReporter& r, const Options& o, const std::vector<int>& threads, double share) {
    auto m = [&](const std::string& name) { return r.median(name); };
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    std::printf("\n== zbench: %dx%d frame, medians of repetitions (ms) ==\n", o.width, o.height);
    std::printf("machine: %u threads, %s; load average now: %s\n",
                std::thread::hardware_concurrency(), cpu_model().c_str(), load_average().c_str());
    std::printf("(a) saver  %9.2f   limit (memcpy + fwrite, new file) %9.2f\n", m("saver/module"), m("saver/limit"));
    print_ratio("saver / limit", ratio(m("saver/module"), m("saver/limit")), "<=", 1.5);
    std::printf("(b) loader %9.2f   limit (fread, new buffer) %9.2f   fread into a warm buffer %9.2f   "
                "OIIO EXR %9.2f\n",
                m("loader/module"), m("loader/limit"), m("loader/limit_warm"), m("loader/oiio_exr"));
    print_ratio("loader / limit", ratio(m("loader/module"), m("loader/limit")), "<=", 1.7);
    print_ratio("OIIO uncompressed EXR read / loader", ratio(m("loader/oiio_exr"), m("loader/module")), ">=", 5.0);
    std::printf("(c) compositor, %.1f%% of the pixels nearer\n", 100.0 * share);
    for (int t : threads) {
        const std::string n = std::to_string(t);
        std::printf("    %d thread(s): plug-in %9.2f   fused loop %9.2f   OIIO zover %9.2f\n", t,
                    m("comp/module/threads:" + n), m("comp/fused/threads:" + n), m("comp/zover/threads:" + n));
        if (t == 1) {
            print_ratio("plug-in / fused loop, 1 thread", ratio(m("comp/module/threads:1"), m("comp/fused/threads:1")),
                        "<=", 10.0);
        }
        print_ratio(("zover / plug-in, " + n + " thread(s)").c_str(),
                    ratio(m("comp/zover/threads:" + n), m("comp/module/threads:" + n)), ">", 1.0);
    }
    if (std::find(threads.begin(), threads.end(), 2) != threads.end()) {
        print_ratio("plug-in scaling, 1 -> 2 threads",
                    ratio(m("comp/module/threads:1"), m("comp/module/threads:2")), ">=", 1.8);
    }
    double total = 0;
    for (const Stage& s : DEMO_STAGES) total += m(s.name);
    std::printf("(d) demo pipeline per frame at %dx%d: %.2f ms\n", o.demo_width, o.demo_height, total);
    for (const Stage& s : DEMO_STAGES) {
        std::printf("    %-20s %8.2f ms %5.1f%%  %s\n", s.name, m(s.name), total > 0 ? 100.0 * m(s.name) / total : 0.0,
                    s.what);
    }
    std::printf("(f) scenes with many images, microseconds per image (equal when linear)\n");
    for (const char* stage : {"scene/read", "scene/image_list"}) {
        std::printf("    %-18s", stage);
        for (int count : SCENE_IMAGE_COUNTS) {
            const std::string n = std::to_string(count);
            std::printf("   %s images: %7.3f", n.c_str(), 1000.0 * m(std::string(stage) + "/images:" + n) / count);
        }
        std::printf("\n");
    }
}

// ---- (e) whole commands ---------------------------------------------------------

// The ratios that the bench holds to a target, for the summary at the end.
struct Target {
    std::string what;
    double ratio = 0;
    const char* relation = "<=";
    double target = 0;
};

void print_stages(const bench::CommandTiming& timing) {
    for (const std::string& line : timing.stages) std::printf("        %s\n", line.c_str());
}

// zhost and oiiotool on the same job: their medians and the ratio.
Target print_pair(const std::string& job, const bench::CommandTiming& zhost, const std::string& oiiotool_job,
                  const bench::CommandTiming* oiiotool, double limit = 0.8) {
    std::printf("    %-34s zhost %9.1f ms", job.c_str(), zhost.wall_ms);
    if (oiiotool) std::printf("   %-24s %9.1f ms", oiiotool_job.c_str(), oiiotool->wall_ms);
    std::printf("\n");
    print_stages(zhost);
    const double ratio = oiiotool && oiiotool->wall_ms > 0 ? zhost.wall_ms / oiiotool->wall_ms : 0.0;
    Target target{"zhost " + job + " / " + oiiotool_job, ratio, "<=", limit};
    print_ratio(target.what.c_str(), ratio, target.relation, target.target);
    return target;
}

std::vector<std::string> zhost_command(const Options& o, std::vector<std::string> args) {
    args.insert(args.begin(), {o.zhost, "--module", o.module, "--timings", "-q"});
    return args;
}

// (e) the commands an artist runs, end to end, after the benchmarks so that
// they do not disturb them: zhost beside oiiotool doing the same job, and
// the demo. Returns the ratios with targets.
std::vector<Target> time_commands(const Options& o, const host::Module& module, const ScratchDir& dir,
                                  const host::Frame& frame, const host::Image& depth, const host::Image& comp) {
    const bench::CommandInputs in = bench::write_command_inputs(module, dir, frame, depth, comp);
    const std::string size = std::to_string(o.width) + "x" + std::to_string(o.height);
    const std::string demo_size = std::to_string(o.demo_width) + "x" + std::to_string(o.demo_height);
    const auto out = [&](const std::string& name) { return dir.file(name); };
    std::vector<bench::Command> commands = {
        {zhost_command(o, {"comp", "--render", in.render, "--zbuffer", in.zbuffer, "--comp", in.comp, "--compression",
                           "none", "-o", out("c-none.exr")}), {out("c-none.exr")}},
        {zhost_command(o, {"comp", "--render", in.render, "--zbuffer", in.zbuffer, "--comp", in.comp, "--compression",
                           "zip", "-o", out("c-zip.exr")}), {out("c-zip.exr")}},
        {zhost_command(o, {"load", in.zbuffer, "--compression", "none", "-o", out("l.exr")}), {out("l.exr")}},
        {zhost_command(o, {"save", in.render, "--base", out("s")}), {out("s0001.zb")}},
        {{o.zhost, "--module", o.module, "--version"}, {}},
        {zhost_command(o, {"demo", "--out", out("demo-out"), "--frame-count", std::to_string(o.demo_frames), "--size",
                           demo_size}), {}},
        {zhost_command(o, {"comp", "--render", in.render_tiled_zip, "--zbuffer", in.zbuffer, "--comp", in.comp_tiled_zip,
                           "--compression", "zip", "-o", out("c-tiled.exr")}), {out("c-tiled.exr")}},
        {zhost_command(o, {"comp", "--render", in.render_dwaa, "--zbuffer", in.zbuffer, "--comp", in.comp_dwaa,
                           "--compression", "dwaa", "-o", out("c-dwaa.exr")}), {out("c-dwaa.exr")}},
    };
    const bool with_oiiotool = !o.oiiotool.empty();
    const std::size_t first_oiiotool = commands.size();
    if (with_oiiotool) {
        commands.push_back({{o.oiiotool, in.render, in.comp, "--zover", "--compression", "none", "-o", out("o-none.exr")},
                            {out("o-none.exr")}});
        commands.push_back({{o.oiiotool, in.render, in.comp, "--zover", "--compression", "zip", "-o", out("o-zip.exr")},
                            {out("o-zip.exr")}});
        commands.push_back({{o.oiiotool, in.depth_exr, "--compression", "none", "-o", out("ol.exr")}, {out("ol.exr")}});
        commands.push_back({{o.oiiotool, in.render, "--ch", "Z", "--compression", "none", "-o", out("os.exr")},
                            {out("os.exr")}});
        commands.push_back({{o.oiiotool, in.render_tiled_zip, in.comp_tiled_zip, "--zover", "--compression", "zip", "-o",
                             out("o-tiled.exr")}, {out("o-tiled.exr")}});
        commands.push_back({{o.oiiotool, in.render_dwaa, in.comp_dwaa, "--zover", "--compression", "dwaa", "-o",
                             out("o-dwaa.exr")}, {out("o-dwaa.exr")}});
    }
    std::printf("(e) whole commands on the %s frame, uncompressed EXR inputs unless named: wall clock, median of %d runs each, "
                "the commands taking turns (start-up included; indented lines are zhost's own --timings)%s\n",
                size.c_str(), o.command_runs, with_oiiotool ? "" : "; oiiotool not found, not compared");
    const std::vector<bench::CommandTiming> t = bench::time_commands(commands, o.command_runs, dir);
    const auto oiio = [&](std::size_t i) { return with_oiiotool ? &t[first_oiiotool + i] : nullptr; };
    std::vector<Target> targets;
    targets.push_back(print_pair("comp, none out", t[0], "oiiotool --zover, none", oiio(0)));
    targets.push_back(print_pair("comp, zip out", t[1], "oiiotool --zover, zip", oiio(1)));
    targets.push_back(print_pair("load to EXR, none", t[2], "oiiotool copy, none", oiio(2)));
    targets.push_back(print_pair("save of the EXR's Z", t[3], "oiiotool --ch Z, none", oiio(3)));
    // Inputs that OpenEXR's C++ library decodes (zhost's faster reader does
    // not take them): no slower than oiiotool.
    targets.push_back(print_pair("comp, tiled zip in, zip out", t[6], "oiiotool --zover, tiled zip", oiio(4), 1.0));
    targets.push_back(print_pair("comp, DWAA in, DWAA out", t[7], "oiiotool --zover, DWAA", oiio(5), 1.0));

    // Memory: the decoded pixels of comp's inputs and output, as 32-bit
    // floats: the render (RGBA+Z), the depth image, the composite image
    // (RGBA) and the output (RGBA+Z).
    const double pixels = double(o.width) * double(o.height);
    const double decoded_mb = pixels * (5 + 1 + 4 + 5) * sizeof(float) / (1024.0 * 1024.0);
    const double above_start = t[0].peak_mb - t[4].peak_mb;
    std::printf("    peak memory of zhost comp: %.0f MB, %.0f MB above start-up (%.0f MB), for %.0f MB of decoded "
                "pixels (render RGBA+Z, depth, composite RGBA, output RGBA+Z)\n",
                t[0].peak_mb, above_start, t[4].peak_mb, decoded_mb);
    targets.push_back({"zhost comp peak memory above start-up / decoded pixels", above_start / decoded_mb, "<=", 1.3});
    print_ratio(targets.back().what.c_str(), targets.back().ratio, "<=", 1.3);
    std::printf("    %-34s zhost %9.1f ms  (%d frames of %s)\n", "demo", t[5].wall_ms, o.demo_frames, demo_size.c_str());
    print_stages(t[5]);
    return targets;
}

// (e) a sequence: `zhost comp --frames` beside `oiiotool --zover --frames`
// on the same RGBA+Z zip EXRs, zip out. Returns the ratio with its target.
Target time_sequence(const Options& o, const ScratchDir& dir) {
    const host::Frame frame = bench::make_render_frame(o.sequence_width, o.sequence_height);
    const auto [render, comp] =
        bench::write_sequence_inputs(dir, frame, bench::make_depth_image(o.sequence_width, o.sequence_height),
                                     bench::make_comp_image(o.sequence_width, o.sequence_height), o.sequence_frames);
    const std::string frames = "1-" + std::to_string(o.sequence_frames);
    std::vector<std::string> zhost_outputs, oiiotool_outputs;
    for (int number = 1; number <= o.sequence_frames; ++number) {
        zhost_outputs.push_back(zhost::FramePattern(dir.file("sz.%04d.exr")).path(number));
        oiiotool_outputs.push_back(zhost::FramePattern(dir.file("so.%04d.exr")).path(number));
    }
    std::vector<bench::Command> commands = {
        {zhost_command(o, {"comp", "--render", render, "--zbuffer", comp, "--comp", comp, "--compression", "zip",
                           "--frames", frames, "-o", dir.file("sz.%04d.exr")}), zhost_outputs}};
    const bool with_oiiotool = !o.oiiotool.empty();
    if (with_oiiotool) {
        commands.push_back({{o.oiiotool, render, comp, "--zover", "--compression", "zip", "--frames", frames, "-o",
                             dir.file("so.%04d.exr")}, oiiotool_outputs});
    }
    const std::string size = std::to_string(o.sequence_width) + "x" + std::to_string(o.sequence_height);
    std::printf("(e) a sequence of %d frames of %s, RGBA+Z zip EXRs in and out: wall clock, median of %d runs each, "
                "the commands taking turns\n", o.sequence_frames, size.c_str(), o.command_runs);
    const std::vector<bench::CommandTiming> t = bench::time_commands(commands, o.command_runs, dir);
    return print_pair("comp --frames, zip", t[0], "oiiotool --zover --frames", with_oiiotool ? &t[1] : nullptr, 0.5);
}

void print_targets(const CollectingReporter& r, const std::vector<Target>& commands) {
    std::printf("== targets (ratios of this run) ==\n");
    const double saver = r.median("saver/limit") > 0 ? r.median("saver/module") / r.median("saver/limit") : 0.0;
    std::vector<Target> all = commands;
    all.insert(all.begin() + 4, Target{"saver / limit (memcpy + fwrite, new file)", saver, "<=", 1.5});
    for (const Target& target : all) print_ratio(target.what.c_str(), target.ratio, target.relation, target.target);
}

// Prepends the defaults, so that flags given on the command line win.
std::vector<char*> with_defaults(int argc, char** argv) {
    static std::string defaults[] = {"--benchmark_repetitions=5", "--benchmark_min_time=0.3"};
    std::vector<char*> args{argv[0]};
    for (std::string& d : defaults) args.push_back(d.data());
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    return args;
}

int run(int argc, char** argv) {
    const Options o = parse_options(argc, argv);
    std::vector<char*> args = with_defaults(argc, argv);
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;

    std::printf("zbench: %s; load average %s\n", cpu_model().c_str(), load_average().c_str());
    const auto module = host::Module::open(o.module);
    const ScratchDir dir;
    if (o.sequence_only) {
        const Target target = time_sequence(o, dir);
        std::printf("load average after: %s\n", load_average().c_str());
        return target.ratio <= target.target ? 0 : 1;
    }
    const host::Frame frame = bench::make_render_frame(o.width, o.height);
    const std::size_t pixels = std::size_t(o.width) * std::size_t(o.height);

    // (a) saver
    bench::SaverRig saver(*module, dir, "save", frame);
    saver.save_next();
    if (std::filesystem::file_size(saver.last_file()) != ZBUF_HEADERS_SIZE + pixels * sizeof(float)) {
        throw std::runtime_error("the saver wrote no whole file");
    }
    saver.drop_last_file();
    bench::SaverLimit limit(dir, frame);
    add("saver/module", [&](benchmark::State& state) {
        for (auto _ : state) {
            saver.save_next();
            state.PauseTiming();
            saver.drop_last_file();
            state.ResumeTiming();
        }
    });
    add("saver/limit", [&](benchmark::State& state) {
        for (auto _ : state) {
            limit.save_next();
            state.PauseTiming();
            limit.drop_last_file();
            state.ResumeTiming();
        }
    });

    // (b) loader, of a file the saver wrote
    bench::SaverRig keeper(*module, dir, "load", frame);
    keeper.save_next();
    const std::string depth_file = keeper.last_file();
    {
        const host::ImageLoad load = host::load_depth_image(*module, depth_file);
        if (load.status != STATUS_OK || !load.image ||
            std::memcmp(load.image->pixels.data(), frame.samples(BUF_DEPTH).data(), pixels * sizeof(float)) != 0) {
            throw std::runtime_error("the loader did not give back the saved depths");
        }
    }
    const std::string exr_file = dir.file("depth.exr");
    bench::oiio_write_depth(exr_file, frame);
    add("loader/module", [&](benchmark::State& state) {
        for (auto _ : state) benchmark::DoNotOptimize(host::load_depth_image(*module, depth_file));
    });
    add("loader/limit", [&](benchmark::State& state) {
        for (auto _ : state) {
            std::unique_ptr<float[]> buffer(new float[pixels]);
            bench::read_rows(depth_file, long(ZBUF_HEADERS_SIZE), o.width, o.height, buffer.get());
            benchmark::DoNotOptimize(buffer.get());
        }
    });
    std::vector<float> warm(pixels);
    add("loader/limit_warm", [&](benchmark::State& state) {
        for (auto _ : state) bench::read_rows(depth_file, long(ZBUF_HEADERS_SIZE), o.width, o.height, warm.data());
    });
    add("loader/oiio_exr", [&](benchmark::State& state) {
        for (auto _ : state) bench::oiio_read_depth(exr_file, o.width, o.height);
    });

    // (c) compositor
    host::ImageList images;
    host::SceneInfo scene(o.width, o.height);
    const ImageId depth_id = images.add(bench::make_depth_image(o.width, o.height));
    const ImageId comp_id = images.add(bench::make_comp_image(o.width, o.height));
    const host::Image& depth_image = host::ImageList::image(depth_id);
    const host::Image& comp_image = host::ImageList::image(comp_id);
    const double share = bench::nearer_share(frame, depth_image);
    bench::CompositorRig comp(*module, images, scene, frame, depth_id, comp_id);
    bench::FusedRig fused(frame, depth_image, comp_image);
    bench::ZoverRig zover(frame, depth_image, comp_image);
    comp.evaluate(o.max_threads);
    fused.evaluate(1);
    if (!bench::same_frames(comp.result(), fused.result())) {
        throw std::runtime_error("the plug-in and the fused loop composite differently");
    }
    std::set<int> thread_set{1, std::min(2, o.max_threads), o.max_threads};
    const std::vector<int> threads(thread_set.begin(), thread_set.end());
    for (int t : threads) {
        const std::string n = std::to_string(t);
        add("comp/module/threads:" + n, [&, t](benchmark::State& state) {
            for (auto _ : state) {
                state.PauseTiming();
                comp.restore();
                state.ResumeTiming();
                comp.evaluate(t);
            }
        });
        add("comp/fused/threads:" + n, [&, t](benchmark::State& state) {
            for (auto _ : state) {
                state.PauseTiming();
                fused.restore();
                state.ResumeTiming();
                fused.evaluate(t);
            }
        });
        add("comp/zover/threads:" + n, [&, t](benchmark::State& state) {
            for (auto _ : state) zover.evaluate(t);
        });
    }

    // (d) the demo's stages on one frame of its animation
    const int32_t dw = o.demo_width, dh = o.demo_height;
    const zhost::DemoFrame demo_frame{3, 24};
    const zhost::RenderedLayer first = zhost::render_demo_layer(zhost::DemoLayer::FIRST, demo_frame, dw, dh, 1);
    const zhost::RenderedLayer second = zhost::render_demo_layer(zhost::DemoLayer::SECOND, demo_frame, dw, dh, 1);
    const host::Frame first_frame = frame_of(first);
    const host::Frame second_frame = frame_of(second);
    int png_count = 0, exr_count = 0;
    add("demo/render", [&](benchmark::State& state) {
        for (auto _ : state) {
            benchmark::DoNotOptimize(zhost::render_demo_layer(zhost::DemoLayer::FIRST, demo_frame, dw, dh, 1));
            benchmark::DoNotOptimize(zhost::render_demo_layer(zhost::DemoLayer::SECOND, demo_frame, dw, dh, 1));
        }
    });
    add("demo/previews_png", [&](benchmark::State& state) {
        for (auto _ : state) {
            for (const zhost::RenderedLayer* layer : {&first, &second}) {
                zhost::write_picture(numbered(dir, "c", ++png_count, ".png"),
                                     zhost::colour_preview(layer->rgba));
                const zhost::DepthRange range = zhost::depth_range(layer->depth, zhost::DEMO_BACKGROUND_DEPTH);
                zhost::write_picture(numbered(dir, "d", ++png_count, ".png"),
                                     zhost::depth_preview(layer->depth, range));
            }
        }
    });
    const host::Image composite = rgba_of(first_frame, "composite");
    add("demo/exr_write", [&](benchmark::State& state) {
        for (auto _ : state) {
            zhost::write_float_image(numbered(dir, "o", ++exr_count, ".exr"), composite,
                                     {"R", "G", "B", "A"});
        }
    });
    const std::string layer_exr = dir.file("second.exr");
    bench::write_rgbaz_exr(layer_exr, second_frame);
    add("demo/exr_read", [&](benchmark::State& state) {
        for (auto _ : state) {
            benchmark::DoNotOptimize(zhost::read_rgba(layer_exr));
            benchmark::DoNotOptimize(zhost::read_depth(layer_exr));
        }
    });
    bench::SaverRig demo_saver(*module, dir, "demo", second_frame);
    add("demo/save", [&](benchmark::State& state) {
        for (auto _ : state) {
            demo_saver.save_next();
            state.PauseTiming();
            demo_saver.drop_last_file();
            state.ResumeTiming();
        }
    });
    bench::SaverRig demo_keeper(*module, dir, "demokeep", second_frame);
    demo_keeper.save_next();
    const std::string demo_depth = demo_keeper.last_file();
    add("demo/load", [&](benchmark::State& state) {
        for (auto _ : state) benchmark::DoNotOptimize(host::load_depth_image(*module, demo_depth));
    });
    host::ImageLoad demo_load = host::load_depth_image(*module, demo_depth);
    if (demo_load.status != STATUS_OK) throw std::runtime_error("the demo's depth file did not load");
    demo_load.image->name = "demo-depth";
    const ImageId demo_depth_id = images.add(std::move(*demo_load.image));
    const ImageId demo_comp_id = images.add(rgba_of(second_frame, "demo-comp"));
    bench::CompositorRig demo_comp(*module, images, scene, first_frame, demo_depth_id, demo_comp_id);
    add("demo/comp", [&](benchmark::State& state) {
        for (auto _ : state) {
            state.PauseTiming();
            demo_comp.restore();
            state.ResumeTiming();
            demo_comp.evaluate(1);
        }
    });

    add_scene_benchmarks(dir);

    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_report(reporter, o, threads, share);
    std::vector<Target> command_targets = time_commands(o, *module, dir, frame, depth_image, comp_image);
    command_targets.push_back(time_sequence(o, dir));
    print_targets(reporter, command_targets);
    benchmark::Shutdown();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "zbench: %s\n", error.what());
        return 1;
    }
}
