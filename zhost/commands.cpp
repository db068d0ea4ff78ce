#include "zhost/commands.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

#include "host/module_host.h"
#include "zhost/demo_scene.h"
#include "zhost/error.h"
#include "zhost/frames.h"
#include "zhost/image_io.h"
#include "zhost/preview.h"
#include "zhost/progress.h"
#include "zhost/sequence.h"
#include "zhost/zbuf_info.h"

namespace zhost {
namespace {

namespace fs = std::filesystem;

// Runs `parse` and turns its zhost::Error into a usage error.
template <typename Parse>
auto parse_option(Parse parse) {
    try {
        return parse();
    } catch (const UsageError&) {
        throw;
    } catch (const Error& error) {
        throw UsageError(error.what());
    }
}

// Runs job(i) for i = 0 .. count - 1 on `threads` threads. The first error
// thrown by a job stops the rest and is thrown again here.
template <typename Job>
void run_jobs(int64_t count, int threads, Job job) {
    std::atomic<int64_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr first_error;
    std::mutex error_mutex;
    auto work = [&] {
        for (int64_t i = next++; i < count && !failed; i = next++) {
            try {
                job(i);
            } catch (...) {
                std::lock_guard lock(error_mutex);
                if (!failed.exchange(true)) first_error = std::current_exception();
            }
        }
    };
    std::vector<std::thread> workers;
    try {
        for (int t = 1; t < threads; ++t) workers.emplace_back(work);
    } catch (const std::system_error&) {
        // Fewer threads than asked: the ones running share the jobs.
    }
    work();
    for (std::thread& worker : workers) worker.join();
    if (first_error) std::rethrow_exception(first_error);
}

std::string numbered(const fs::path& dir, const std::string& stem, int32_t frame, const std::string& extension) {
    return (dir / FramePattern(stem + "####" + extension).path(frame)).string();
}

struct DemoFrames {
    std::vector<Picture> first_colour;
};

void write_demo_frame(const DemoOptions& options, Size size, int32_t index, DemoFrames& frames) {
    const fs::path dir(options.out_dir);
    const DemoFrame frame{index, options.frames};
    const int32_t number = index + 1;
    const RenderedLayer first = render_demo_layer(DemoLayer::FIRST, frame, size.width, size.height, 1);
    const RenderedLayer second = render_demo_layer(DemoLayer::SECOND, frame, size.width, size.height, 1);

    Picture first_colour = colour_preview(first.rgba);
    write_picture(numbered(dir, "first", number, ".png"), first_colour);
    write_picture(numbered(dir, "second", number, ".png"), colour_preview(second.rgba));
    const DepthRange first_range = depth_range(first.depth, DEMO_BACKGROUND_DEPTH);
    write_picture(numbered(dir, "first-depth", number, ".png"), depth_preview(first.depth, first_range));
    const DepthRange second_range = depth_range(second.depth, DEMO_BACKGROUND_DEPTH);
    write_picture(numbered(dir, "second-depth", number, ".png"), depth_preview(second.depth, second_range));
    frames.first_colour[std::size_t(index)] = std::move(first_colour);
}

void print_written(const DemoOptions& options, const char* stem, const char* what) {
    const fs::path dir(options.out_dir);
    std::printf("wrote %s .. %s  %s\n", numbered(dir, stem, 1, ".png").c_str(),
                numbered(dir, stem, options.frames, ".png").c_str(), what);
}

void make_directory(const std::string& dir) {
    std::error_code error;
    fs::create_directories(dir, error);
    if (error || !fs::is_directory(dir)) {
        throw Error(dir + ": cannot create the output directory" + (error ? ": " + error.message() : ""));
    }
}

}  // namespace

int run_servers(const GlobalOptions& global) {
    const auto module = host::Module::open(global.module_path);
    std::printf("%s\n", module->path().c_str());
    for (const host::ServerInfo& server : module->servers()) {
        std::printf("  %-22s %s\n", server.class_name.c_str(), server.server_name.c_str());
    }
    return 0;
}

int run_info(const InfoOptions& options, const GlobalOptions&) {
    int status = 0;
    for (const std::string& path : options.files) {
        try {
            const ZbufInfo info = inspect_zbuf(path);
            std::fputs(format_zbuf_info(path, info).c_str(), stdout);
            if (!info.body_complete()) status = 1;
        } catch (const Error& error) {
            std::fflush(stdout);
            std::fprintf(stderr, "zhost: %s\n", error.what());
            status = 1;
        }
    }
    return status;
}

int run_demo(const DemoOptions& options, const GlobalOptions& global) {
    const Size size = parse_option([&] { return parse_size(options.size, 8192); });
    make_directory(options.out_dir);
    DemoFrames frames;
    frames.first_colour.resize(std::size_t(options.frames));
    {
        Progress progress("rendering", options.frames, progress_wanted(global.quiet));
        run_jobs(options.frames, worker_count(options.threads, options.frames), [&](int64_t i) {
            write_demo_frame(options, size, int32_t(i), frames);
            progress.advance();
        });
    }
    std::vector<std::string> labels;
    for (int i = 1; i <= options.frames; ++i) labels.push_back(std::to_string(i));
    const std::string sheet = (fs::path(options.out_dir) / "contact-sheet.png").string();
    write_picture(sheet, contact_sheet(frames.first_colour, labels, 6, std::min(160, size.width)));
    print_written(options, "first", "colour of the first layer");
    print_written(options, "first-depth", "depth of the first layer, false colour");
    print_written(options, "second", "colour of the second layer");
    print_written(options, "second-depth", "depth of the second layer, false colour");
    std::printf("wrote %s  all frames of the first layer\n", sheet.c_str());
    std::fprintf(stderr, "zhost: demo: saving, loading and compositing through the module are not available yet\n");
    return 1;
}

}  // namespace zhost
