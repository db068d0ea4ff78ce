// `zhost submit slurm`: a sequence command spread over a Slurm cluster as
// one array job, each task running the same zhost on one chunk of frames.
// The job script is plain sh and stays beside the outputs; any other farm
// manager can run its chunk N as `sh SCRIPT N`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zhost/sequences/sequence.h"

namespace zhost {

// `text` quoted for a POSIX shell: in single quotes, each ' as '\''.
std::string shell_quoted(const std::string& text);

// The frames split into chunks of `size` in their order, each written as a
// --frames value: "1-4", "1-7x2" for an even step, else a list.
std::vector<std::string> frame_chunks(const FrameRange& frames, int64_t size);

// A zhost command line to submit: the command (argv[0], one that takes
// --frames) and where its --frames value and its output folder are.
struct SubmittedCommand {
    std::vector<std::string> args;
    std::size_t frames_at = 0;  // index of the argument that holds the frames
    bool frames_joined = false; // that argument is "--frames=SPEC"
    FrameRange frames;
    std::string output;         // the value of -o/--output or --base; empty when none
};

// Reads the arguments after `--`. Throws zhost::UsageError for a command
// that takes no --frames, a missing or repeated --frames, or frames that
// cannot be read.
SubmittedCommand parse_submitted_command(const std::vector<std::string>& args);

// Everything the job script says.
struct SlurmJob {
    std::string zhost;      // absolute path of the program
    std::string module;     // absolute path of the module
    SubmittedCommand command;
    std::vector<std::string> chunks;  // --frames of each task
    std::string folder;     // absolute: the script, the tasks' logs and status files
    std::string workdir;    // absolute: where the tasks run (relative names start there)
    std::string partition;  // empty: the cluster's default
};

// The folder of a job's files: beside the outputs, named after the command
// and its frames ("zhost-comp-1-12").
std::string job_folder(const SubmittedCommand& command, const std::string& workdir);

std::string script_path(const SlurmJob& job);
std::string chunk_log(const SlurmJob& job, std::size_t chunk);
std::string chunk_status(const SlurmJob& job, std::size_t chunk);

// The sbatch array script: one task per chunk, each running zhost on its
// frames and leaving its exit status in chunk-N.status. Throws
// zhost::UsageError for folders that an #SBATCH line cannot hold.
std::string slurm_script(const SlurmJob& job);

// A chunk that did not succeed, as the waiting report names it.
struct FailedChunk {
    std::size_t index = 0;
    std::string frames;
    std::string outcome;  // "exit status 1", or why there is no status
    std::string log;
    std::string last_line;  // the log's last line, the reason zhost gave
};

// The chunks whose status file holds anything but 0 (or is missing).
std::vector<FailedChunk> failed_chunks(const SlurmJob& job);

}  // namespace zhost
