#include "bench/commands.h"

#include <OpenImageIO/imagebuf.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "bench/rigs.h"
#include "zhost/images/frames.h"
#include "zhost/images/image_io.h"
#include "zhost/sequences/sequence.h"

extern char** environ;

namespace bench {
namespace {

struct Run {
    double wall_ms = 0;
    double peak_mb = 0;
    std::vector<std::string> stages;
};

std::string shown(const std::vector<std::string>& argv) {
    std::string command;
    for (const std::string& arg : argv) command += (command.empty() ? "" : " ") + arg;
    return command;
}

// Runs the program with stdout to /dev/null and stderr to `errors`, through
// zbench_run, which reports its peak memory into `report`; returns its
// wall-clock time and that peak.
Run run_once(const std::vector<std::string>& argv, const std::string& errors, const std::string& report) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args{const_cast<char*>(OBK_ZBENCH_RUN_PATH), const_cast<char*>(report.c_str())};
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t child = 0;
    const int spawned = posix_spawn(&child, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error(std::string("cannot run ") + args[0]);
    int status = 0;
    const pid_t waited = waitpid(child, &status, 0);
    const auto end = std::chrono::steady_clock::now();
    if (waited != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::ifstream reason(errors);
        std::string line;
        std::getline(reason, line);
        throw std::runtime_error(shown(argv) + " failed: " + line);
    }
    long peak_kb = 0;
    std::ifstream(report) >> peak_kb;
    return {std::chrono::duration<double, std::milli>(end - start).count(), double(peak_kb) / 1024.0, {}};
}

std::vector<std::string> timing_lines(const std::string& errors) {
    std::ifstream file(errors);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("timing:", 0) == 0) lines.push_back(line);
    }
    return lines;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n == 0 ? 0.0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

CommandTiming summary(std::vector<Run> runs) {
    std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.wall_ms < b.wall_ms; });
    std::vector<double> walls, peaks;
    for (const Run& run : runs) {
        walls.push_back(run.wall_ms);
        peaks.push_back(run.peak_mb);
    }
    return {median(walls), median(peaks), runs[runs.size() / 2].stages};
}

// Runs the command and removes what it wrote.
Run run_and_clean(const Command& command, const std::string& errors, const ScratchDir& dir) {
    Run run = run_once(command.argv, errors, dir.file("peak.txt"));
    std::error_code ignored;
    for (const std::string& output : command.outputs) std::filesystem::remove(output, ignored);
    return run;
}

}  // namespace

std::vector<CommandTiming> time_commands(const std::vector<Command>& commands, int runs, const ScratchDir& dir) {
    std::vector<std::vector<Run>> results(commands.size());
    for (int round = 0; round < std::max(1, runs); ++round) {
        for (std::size_t c = 0; c < commands.size(); ++c) {
            const std::string errors = dir.file("command-" + std::to_string(c) + ".txt");
            run_and_clean(commands[c], errors, dir);  // warm-up, untimed
            Run run = run_and_clean(commands[c], errors, dir);
            run.stages = timing_lines(errors);
            results[c].push_back(std::move(run));
        }
    }
    std::vector<CommandTiming> timings;
    for (std::vector<Run>& command_runs : results) timings.push_back(summary(std::move(command_runs)));
    return timings;
}

std::string find_on_path(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

void write_rgbaz_exr(const std::string& path, const host::Frame& frame, const std::string& compression) {
    zhost::OutputSettings settings;
    settings.compression = compression;
    zhost::write_float_image(path, zhost::frame_channels(frame, std::array<int32_t, 5>{BUF_RED, BUF_GREEN, BUF_BLUE,
                                                                                         BUF_ALPHA, BUF_DEPTH}),
                             {"R", "G", "B", "A", "Z"}, settings);
}

namespace {

// The image at `from` stored again with `compression`, in tiles of
// `tile` x `tile` pixels (0: scan lines).
void recode_exr(const std::string& from, const std::string& to, const std::string& compression, int tile) {
    OIIO::ImageBuf image(from);
    if (!image.read(0, 0, true)) throw std::runtime_error(from + ": " + image.geterror());
    image.specmod().attribute("compression", compression);
    image.set_write_tiles(tile, tile);
    if (!image.write(to)) throw std::runtime_error(to + ": " + image.geterror());
}

}  // namespace

CommandInputs write_command_inputs(const host::Module& module, const ScratchDir& dir, const host::Frame& frame,
                                   const host::Image& depth, const host::Image& comp) {
    CommandInputs inputs{dir.file("render.exr"),
                         dir.file("comp.exr"),
                         {},
                         dir.file("depth.exr"),
                         dir.file("render-tiled-zip.exr"),
                         dir.file("comp-tiled-zip.exr"),
                         dir.file("render-dwaa.exr"),
                         dir.file("comp-dwaa.exr")};
    write_rgbaz_exr(inputs.render, frame, "none");
    write_rgbaz_exr(inputs.comp, zhost::make_frame(depth, &comp, 1), "none");
    zhost::OutputSettings none;
    none.compression = "none";
    zhost::write_float_image(inputs.depth_exr, depth, {"Z"}, none);
    host::Frame depth_frame = frame;
    std::copy(depth.pixels.begin(), depth.pixels.end(), depth_frame.samples(BUF_DEPTH).begin());
    SaverRig saver(module, dir, "comp-depth", depth_frame);
    saver.save_next();
    inputs.zbuffer = saver.last_file();
    recode_exr(inputs.render, inputs.render_tiled_zip, "zip", 64);
    recode_exr(inputs.comp, inputs.comp_tiled_zip, "zip", 64);
    recode_exr(inputs.render, inputs.render_dwaa, "dwaa", 0);
    recode_exr(inputs.comp, inputs.comp_dwaa, "dwaa", 0);
    return inputs;
}

std::pair<std::string, std::string> write_sequence_inputs(const ScratchDir& dir, const host::Frame& frame,
                                                          const host::Image& depth, const host::Image& comp,
                                                          int frames) {
    const std::pair<std::string, std::string> patterns{dir.file("render.%04d.exr"), dir.file("comp.%04d.exr")};
    const zhost::FramePattern render(patterns.first), second(patterns.second);
    write_rgbaz_exr(render.path(1), frame, "zip");
    write_rgbaz_exr(second.path(1), zhost::make_frame(depth, &comp, 1), "zip");
    for (int number = 2; number <= frames; ++number) {
        std::filesystem::copy_file(render.path(1), render.path(number));
        std::filesystem::copy_file(second.path(1), second.path(number));
    }
    return patterns;
}

}  // namespace bench
