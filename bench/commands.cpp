#include "bench/commands.h"

#include <spawn.h>
#include <sys/wait.h>
#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <stdexcept>

#include "bench/rigs.h"
#include "zhost/image_io.h"

extern char** environ;

namespace bench {
namespace {

// Runs the program with stdout to /dev/null and stderr to `errors`; returns
// its wall-clock time in ms.
double run_once(const std::vector<std::string>& argv, const std::string& errors) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t child = 0;
    const int spawned = posix_spawn(&child, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot run " + argv[0]);
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::ifstream reason(errors);
        std::string line;
        std::getline(reason, line);
        std::string command;
        for (const std::string& arg : argv) command += (command.empty() ? "" : " ") + arg;
        throw std::runtime_error(command + " failed: " + line);
    }
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

std::vector<std::string> timing_lines(const std::string& errors) {
    std::ifstream file(errors);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("timing:", 0) == 0) lines.push_back(line);
    }
    return lines;
}

}  // namespace

CommandTiming time_command(const std::string& zhost, const std::vector<std::string>& args, int runs,
                           const ScratchDir& dir) {
    std::vector<std::string> argv{zhost, "--timings", "-q"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<CommandTiming> timings;
    for (int run = 0; run < std::max(1, runs); ++run) {
        const std::string errors = dir.file("command-" + std::to_string(run) + ".txt");
        const double wall = run_once(argv, errors);
        timings.push_back({wall, timing_lines(errors)});
    }
    std::sort(timings.begin(), timings.end(),
              [](const CommandTiming& a, const CommandTiming& b) { return a.wall_ms < b.wall_ms; });
    return timings[timings.size() / 2];
}

void write_rgbaz_exr(const std::string& path, const host::Frame& frame) {
    host::Image image{"render", frame.width(), frame.height(), 5, {}};
    const std::size_t pixels = std::size_t(frame.width()) * std::size_t(frame.height());
    image.pixels.resize(pixels * 5);
    const int32_t buffers[5] = {BUF_RED, BUF_GREEN, BUF_BLUE, BUF_ALPHA, BUF_DEPTH};
    for (std::size_t c = 0; c < 5; ++c) {
        const float* plane = frame.samples(buffers[c]).data();
        for (std::size_t i = 0; i < pixels; ++i) image.pixels[5 * i + c] = plane[i];
    }
    zhost::write_float_image(path, image, {"R", "G", "B", "A", "Z"});
}

CompInputs write_comp_inputs(const host::Module& module, const ScratchDir& dir, const host::Frame& frame,
                             const host::Image& depth, const host::Image& comp) {
    CompInputs inputs{dir.file("render.exr"), {}, dir.file("comp.exr")};
    write_rgbaz_exr(inputs.render, frame);
    zhost::write_float_image(inputs.comp, comp, {"R", "G", "B", "A"});
    host::Frame depth_frame = frame;
    std::copy(depth.pixels.begin(), depth.pixels.end(), depth_frame.samples(BUF_DEPTH).begin());
    SaverRig saver(module, dir, "comp-depth", depth_frame);
    saver.save_next();
    inputs.zbuffer = saver.last_file();
    return inputs;
}

}  // namespace bench
