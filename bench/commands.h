// Commands end to end, as an artist runs them: the wall-clock time and the
// peak memory of whole processes, start-up included, zhost's own account of
// its stages (--timings), and the inputs those commands read.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "bench/workload.h"
#include "host/frame.h"
#include "host/image.h"
#include "host/module_host.h"

namespace bench {

// One command line to time: argv[0] is the program's path. `outputs` are
// the files it writes, removed after each run outside the timing, so that
// every run writes new files.
struct Command {
    std::vector<std::string> argv;
    std::vector<std::string> outputs;
};

struct CommandTiming {
    double wall_ms = 0;               // median of the runs
    double peak_mb = 0;               // median of the runs' peak resident memory
    std::vector<std::string> stages;  // zhost's "timing:" lines of the median run
};

// Runs every command `runs` times, in rounds (each command once, then the
// next round), so that a machine whose speed drifts slows all of them alike,
// and returns the median of each. Each timed run directly follows an
// untimed run of the same command, so that every command finds memory as
// its own last run left it: on a virtual machine that hands freed memory
// back to its hypervisor, a run after a smaller one pays a fault for every
// page it touches afresh. stdout goes to /dev/null, stderr to a file in
// `dir`. Throws when a run fails.
std::vector<CommandTiming> time_commands(const std::vector<Command>& commands, int runs, const ScratchDir& dir);

// The path of `program` found on PATH, or empty.
std::string find_on_path(const std::string& program);

// A frame as one EXR holding R, G, B, A and Z, as renderers write them, with
// the given compression ("" for zhost's default, zip).
void write_rgbaz_exr(const std::string& path, const host::Frame& frame, const std::string& compression = "");

// The inputs of the commands on the benchmark's frame, all without
// compression: the render as an RGBA+Z EXR; the second picture as an RGBA+Z
// EXR (the composite image's colour and the depth image's depth), as a depth
// file of that depth, and as a one-channel EXR of that depth. Beside them the
// render and the second picture as tiled zip EXRs (64x64 tiles) and as
// scan-line DWAA EXRs.
struct CommandInputs {
    std::string render;
    std::string comp;
    std::string zbuffer;
    std::string depth_exr;
    std::string render_tiled_zip;
    std::string comp_tiled_zip;
    std::string render_dwaa;
    std::string comp_dwaa;
};
CommandInputs write_command_inputs(const host::Module& module, const ScratchDir& dir, const host::Frame& frame,
                                   const host::Image& depth, const host::Image& comp);

// `frames` frames (numbered from 1) of the render and the second picture as
// RGBA+Z zip EXRs, "render.%04d.exr" and "comp.%04d.exr" in `dir`, each
// frame a copy of the first; returns the two patterns.
std::pair<std::string, std::string> write_sequence_inputs(const ScratchDir& dir, const host::Frame& frame,
                                                          const host::Image& depth, const host::Image& comp,
                                                          int frames);

}  // namespace bench
