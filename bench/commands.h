// zhost commands end to end, as an artist runs them: the wall-clock time of
// the whole process, start-up included, and zhost's own account of its
// stages (--timings).
#pragma once

#include <string>
#include <vector>

#include "bench/workload.h"
#include "host/frame.h"
#include "host/image.h"
#include "host/module_host.h"

namespace bench {

struct CommandTiming {
    double wall_ms = 0;
    std::vector<std::string> stages;  // zhost's "timing:" lines of the median run
};

// Runs `zhost args...` `runs` times (stdout discarded, stderr kept in
// `dir`) and returns the median run. Throws when a run fails.
CommandTiming time_command(const std::string& zhost, const std::vector<std::string>& args, int runs,
                           const ScratchDir& dir);

// A frame as one EXR holding R, G, B, A and Z, as renderers write them.
void write_rgbaz_exr(const std::string& path, const host::Frame& frame);

// The inputs of `zhost comp` on the benchmark's frame: the render as an
// RGBA+Z EXR, the depth image as a depth file and the composite image as an
// RGBA EXR.
struct CompInputs {
    std::string render;
    std::string zbuffer;
    std::string comp;
};
CompInputs write_comp_inputs(const host::Module& module, const ScratchDir& dir, const host::Frame& frame,
                             const host::Image& depth, const host::Image& comp);

}  // namespace bench
