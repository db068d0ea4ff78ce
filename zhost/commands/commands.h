// zhost's commands, each taking its parsed options and returning the exit
// status: 0 on success, 1 when an input is refused or a plug-in reports an
// error (a one-line reason on stderr). They throw zhost::Error or
// host::HostError for failures that end the whole command.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "zhost/images/image_read.h"
#include "zhost/text/report.h"
#include "zhost/text/timings.h"

namespace zhost {

struct GlobalOptions {
    std::string module_path;
    uint64_t max_image_mb = 0;  // 0: the default share of the machine's memory
    bool quiet = false;    // no progress bar, no "wrote" lines
    bool verbose = false;  // a line for each frame
    bool timings = false;
    int threads = 0;       // --threads of the commands that compute pixels; 0: one per processor
    std::string progress;  // "json": one JSON line per frame on stdout; empty: text
    bool skip_missing = false;  // --skip-missing of sequence commands: frames with missing inputs left out
};

// What the command line sets for the whole command, handed from it to each
// part that uses it.
struct Context {
    Context(const GlobalOptions& options, std::string command_line);

    GlobalOptions global;
    std::string command_line;  // as outputs record it in their history
    Reporter reporter;         // stdout, as -q, -v and --progress ask
    Timings timings;           // --timings
    ImageBudget images;        // --max-image-mb, and the images held against it
};

struct DemoOptions {
    std::string out_dir = "demo-out";
    int frame_count = 24;
    std::string frames;  // refused: --frames takes ranges elsewhere
    std::string size = "640x360";
};

struct SaveOptions {
    std::string depth;  // image, or a pattern of a sequence
    std::string base;
    std::string rgb;
    std::optional<int> frame;
    std::string frames;
    std::string depth_channel;
};

struct LoadOptions {
    std::string file;
    std::string out;
    bool preview = false;
    std::optional<float> far;  // background threshold of previews
    std::string range;         // NEAR,FAR of previews
    bool log = false;
    bool legend = true;  // previews: the legend strip below the picture
    std::string compression;
    std::string frames;
};

struct InfoOptions {
    std::vector<std::string> files;  // files and patterns
    std::string frames;
    bool json = false;
};

struct CompOptions {
    std::string render;
    std::string render_depth;
    std::string zbuffer;
    std::string comp;
    std::string out;
    std::string frames;
    std::string render_layer;
    std::string depth_channel;
    std::string subimage;
    std::string data_type;  // "float" or "half"; empty: as the render stores it
    std::string compression;
    bool no_scale = false;  // refuse images of another display size than the render's
};

struct RenderOptions {
    std::string scene;
    std::string frames;
    std::string save_scene;
    std::vector<std::string> options;
    std::vector<std::string> answers;  // LABEL=VALUE for the options run
};

// `zhost submit slurm ... -- COMMAND ARGS... --frames SPEC`.
struct SubmitOptions {
    std::string scheduler;  // "slurm"
    int chunk = 10;         // frames per array task
    std::string partition;
    bool wait = false;
    bool dry_run = false;
    std::vector<std::string> command;  // the zhost command and its arguments
};

int run_servers(Context& context);
int run_info(const InfoOptions& options, Context& context);
int run_demo(const DemoOptions& options, Context& context);
int run_save(const SaveOptions& options, Context& context);
int run_load(const LoadOptions& options, Context& context);
int run_comp(const CompOptions& options, Context& context);
int run_render(const RenderOptions& options, Context& context);
int run_submit(const SubmitOptions& options, Context& context);

// Runs zhost on its command line; returns the exit status (2 for a usage error).
int run(int argc, char** argv);

}  // namespace zhost
