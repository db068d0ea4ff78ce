#include "zhost/sequences/submit.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <thread>

#include "zhost/commands/commands.h"
#include "zhost/text/error.h"
#include "zhost/text/one_line.h"
#include "zhost/text/report.h"

extern char** environ;

namespace zhost {
namespace {

namespace fs = std::filesystem;

// The commands that take --frames.
const std::set<std::string> SEQUENCE_COMMANDS = {"save", "load", "info", "comp", "render"};
// Slurm's MaxArraySize is 1001 by default: task ids 0 to 1000.
constexpr std::size_t MAX_TASKS = 1000;
// Task states after which a task no longer runs.
const std::set<std::string> FINISHED_STATES = {"COMPLETED", "FAILED",  "CANCELLED",     "TIMEOUT",   "NODE_FAIL",
                                               "PREEMPTED", "BOOT_FAIL", "OUT_OF_MEMORY", "DEADLINE"};
constexpr auto POLL_INTERVAL = std::chrono::seconds(1);
// squeue failing this many times in a row (about a minute) ends the wait.
constexpr int SQUEUE_ATTEMPTS = 60;

// The value of `option` at args[i], as "OPTION VALUE" or "OPTION=VALUE";
// advances i past it.
std::optional<std::string> option_value(const std::vector<std::string>& args, std::size_t& i, const std::string& option) {
    if (args[i] == option) {
        if (i + 1 >= args.size()) throw UsageError(option + " needs a value");
        return args[++i];
    }
    if (args[i].rfind(option + "=", 0) == 0) return args[i].substr(option.size() + 1);
    return std::nullopt;
}

// A run of frames with one step between neighbours: the step, or 0.
int64_t even_step(const std::vector<int32_t>& frames) {
    if (frames.size() < 2) return 0;
    const int64_t step = int64_t{frames[1]} - frames[0];
    for (std::size_t i = 2; i < frames.size(); ++i) {
        if (int64_t{frames[i]} - frames[i - 1] != step) return 0;
    }
    return step > 0 ? step : 0;
}

std::string chunk_text(const std::vector<int32_t>& frames) {
    const int64_t step = even_step(frames);
    if (step == 0 || (step > 1 && frames.size() < 3)) return FrameRange{frames}.text();
    std::string text = std::to_string(frames.front()) + "-" + std::to_string(frames.back());
    return step == 1 ? text : text + "x" + std::to_string(step);
}

// A value for an #SBATCH line: as it is, or in double quotes when it holds
// blanks. Characters that such a line cannot carry are refused.
std::string sbatch_value(const std::string& value) {
    for (const unsigned char c : value) {
        if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') {
            throw UsageError("\"" + one_line(value) + "\": a Slurm job script cannot name this folder; run from "
                             "and write into folders without quotes, backslashes or control characters");
        }
    }
    return value.find_first_of(" \t'") == std::string::npos ? value : "\"" + value + "\"";
}

// '%' in a file name pattern of sbatch is written "%%".
std::string sbatch_pattern(std::string path) {
    for (std::size_t at = path.find('%'); at != std::string::npos; at = path.find('%', at + 2)) path.insert(at, 1, '%');
    return path;
}

std::string quoted_command(const SlurmJob& job) {
    const SubmittedCommand& command = job.command;
    std::vector<std::string> words = {shell_quoted(job.zhost), "--module", shell_quoted(job.module)};
    for (std::size_t i = 0; i < command.args.size(); ++i) {
        if (i != command.frames_at) {
            words.push_back(shell_quoted(command.args[i]));
        } else {
            words.push_back(command.frames_joined ? "--frames=\"$frames\"" : "\"$frames\"");
        }
    }
    std::string line;
    for (const std::string& word : words) line.append(line.empty() ? "" : " ").append(word);
    return line;
}

// Runs a program and returns its exit status and what it wrote on stdout
// (and on stderr too when `with_stderr`; else stderr stays the user's).
struct ProgramRun {
    int status = -1;
    std::string output;
};

ProgramRun run_program(const std::vector<std::string>& args, bool with_stderr) {
    int pipe_ends[2];
    if (::pipe(pipe_ends) != 0) throw Error(std::string("cannot create a pipe: ") + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
    if (with_stderr) posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[1]);
    std::vector<std::string> texts = args;
    std::vector<char*> argv;
    for (std::string& text : texts) argv.push_back(text.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe_ends[1]);
    ProgramRun run;
    if (spawned != 0) {
        ::close(pipe_ends[0]);
        throw Error(args[0] + ": cannot run it: " + std::strerror(spawned) + " (is Slurm's client installed?)");
    }
    char buffer[4096];
    for (ssize_t got; (got = ::read(pipe_ends[0], buffer, sizeof buffer)) != 0;) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;
        run.output.append(buffer, std::size_t(got));
    }
    ::close(pipe_ends[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

std::string last_line(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line, last;
    while (std::getline(in, line)) {
        if (!line.empty()) last = line;
    }
    return last;
}

// Files of an earlier submission of the same job, which would otherwise
// speak for this one's tasks.
void remove_earlier_results(const std::string& folder) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        const bool result = name.rfind("chunk-", 0) == 0 &&
                            (name.ends_with(".status") || name.ends_with(".log"));
        if (result) fs::remove(entry.path(), error);
    }
}

void write_script(const std::string& path, const std::string& script) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << script;
    out.close();
    if (!out) throw Error(path + ": cannot write the job script");
    std::error_code error;
    fs::permissions(path, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::add, error);
}

std::string submit_job(const SlurmJob& job) {
    const ProgramRun run = run_program({"sbatch", "--parsable", script_path(job)}, false);
    const std::string id = run.output.substr(0, run.output.find_first_of(";\n"));
    if (run.status != 0 || id.empty()) {
        throw Error("sbatch did not take " + script_path(job) + " (exit status " + std::to_string(run.status) + ")");
    }
    return id;
}

// A task state as squeue prints it ("RUNNING", "NODE_FAIL"), not a message.
bool is_state(const std::string& line) {
    return !line.empty() && std::all_of(line.begin(), line.end(), [](char c) { return (c >= 'A' && c <= 'Z') || c == '_'; });
}

// True while a task of the job still waits or runs; false once squeue no
// longer knows the job or lists only finished tasks.
bool job_active(const std::string& id) {
    for (int attempt = 1;; ++attempt) {
        const ProgramRun run = run_program({"squeue", "-h", "-j", id, "-t", "all", "-o", "%T"}, true);
        if (run.output.find("Invalid job id") != std::string::npos) return false;
        if (run.status == 0) {
            std::size_t start = 0;
            for (std::size_t end; (end = run.output.find('\n', start)) != std::string::npos; start = end + 1) {
                const std::string state = run.output.substr(start, end - start);
                if (is_state(state) && !FINISHED_STATES.contains(state)) return true;
            }
            return false;
        }
        if (attempt == SQUEUE_ATTEMPTS) {
            throw Error("squeue fails to report job " + id + ": " + first_line(run.output));
        }
        std::this_thread::sleep_for(POLL_INTERVAL);
    }
}

void wait_for_job(const std::string& id) {
    while (job_active(id)) std::this_thread::sleep_for(POLL_INTERVAL);
}

void print_failure(const FailedChunk& chunk) {
    std::string line = "chunk " + std::to_string(chunk.index) + " (frames " + chunk.frames + ") failed: " +
                       chunk.outcome + "; log " + chunk.log;
    if (!chunk.last_line.empty()) line += ": " + chunk.last_line;
    std::fprintf(stderr, "zhost: %s\n", one_line(line).c_str());
}

}  // namespace

std::string shell_quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::vector<std::string> frame_chunks(const FrameRange& frames, int64_t size) {
    std::vector<std::string> chunks;
    for (std::size_t start = 0; start < frames.frames.size(); start += std::size_t(size)) {
        const auto first = frames.frames.begin() + std::ptrdiff_t(start);
        const auto end = frames.frames.begin() + std::ptrdiff_t(std::min(frames.frames.size(), start + std::size_t(size)));
        chunks.push_back(chunk_text(std::vector<int32_t>(first, end)));
    }
    return chunks;
}

SubmittedCommand parse_submitted_command(const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError("give the command to run after --, e.g. -- comp ... --frames 1-100");
    if (!SEQUENCE_COMMANDS.contains(args[0])) {
        throw UsageError("submit runs the commands that take --frames (save, load, info, comp, render), not '" +
                         args[0] + "'; the command comes first after --");
    }
    SubmittedCommand command;
    command.args = args;
    std::optional<std::string> frames;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::size_t at = i;
        if (const auto value = option_value(args, i, "--frames")) {
            if (frames) throw UsageError("--frames is given twice");
            frames = value;
            command.frames_at = i;
            command.frames_joined = i == at;
        } else if (const auto output = option_value(args, i, "-o")) {
            command.output = *output;
        } else if (const auto output = option_value(args, i, "--output")) {
            command.output = *output;
        } else if (const auto base = option_value(args, i, "--base")) {
            command.output = *base;
        }
    }
    if (!frames) throw UsageError("the submitted command needs --frames, the frames to share among the tasks");
    command.frames = parse_option([&] { return parse_frame_range(*frames); });
    return command;
}

std::string job_folder(const SubmittedCommand& command, const std::string& workdir) {
    const fs::path outputs =
        command.output.empty() ? fs::path(workdir) : (fs::path(workdir) / command.output).parent_path();
    std::string name = "zhost-";
    name.append(command.args[0]).append("-").append(std::to_string(command.frames.first()));
    if (command.frames.count() > 1) name.append("-").append(std::to_string(command.frames.last()));
    return (outputs / name).lexically_normal().string();
}

std::string script_path(const SlurmJob& job) { return job.folder + "/job.sbatch"; }

std::string chunk_log(const SlurmJob& job, std::size_t chunk) {
    return job.folder + "/chunk-" + std::to_string(chunk) + ".log";
}

std::string chunk_status(const SlurmJob& job, std::size_t chunk) {
    return job.folder + "/chunk-" + std::to_string(chunk) + ".status";
}

std::string slurm_script(const SlurmJob& job) {
    const std::size_t last = job.chunks.size() - 1;
    const std::string folder = shell_quoted(job.folder);
    std::string s = "#!/bin/sh\n";
    s += "# zhost " + one_line(job.command.args[0]) + ", frames " + job.command.frames.text() + ", in " +
         std::to_string(job.chunks.size()) + " chunks: one task of a Slurm array job per chunk.\n";
    s += "# Submit again with: sbatch " + one_line(shell_quoted(script_path(job))) + "\n";
    s += "# Another farm manager runs chunk N (0 to " + std::to_string(last) + ") with: sh " +
         one_line(shell_quoted(script_path(job))) + " N\n";
    s += "# Each chunk writes its exit status into chunk-N.status beside this script.\n";
    s += "#SBATCH --job-name=zhost-" + job.command.args[0] + "\n";
    s += "#SBATCH --array=0-" + std::to_string(last) + "\n";
    s += "#SBATCH --ntasks=1\n";
    s += "#SBATCH --output=" + sbatch_value(sbatch_pattern(job.folder) + "/chunk-%a.log") + "\n";
    s += "#SBATCH --chdir=" + sbatch_value(job.workdir) + "\n";
    if (!job.partition.empty()) s += "#SBATCH --partition=" + sbatch_value(job.partition) + "\n";
    s += "\ntask=${SLURM_ARRAY_TASK_ID:-${1:?give the chunk number, 0 to " + std::to_string(last) + "}}\n";
    s += "case $task in\n";
    for (std::size_t i = 0; i <= last; ++i) s += "  " + std::to_string(i) + ") frames=" + job.chunks[i] + " ;;\n";
    s += "  *) echo \"zhost job: no chunk $task (0 to " + std::to_string(last) + ")\" >&2; exit 2 ;;\n";
    s += "esac\n";
    s += "cd " + shell_quoted(job.workdir) + " || exit 1\n";
    s += "rm -f " + folder + "/chunk-\"$task\".status\n";
    s += quoted_command(job) + "\n";
    s += "status=$?\n";
    s += "echo \"$status\" > " + folder + "/chunk-\"$task\".status\n";
    s += "exit \"$status\"\n";
    return s;
}

std::vector<FailedChunk> failed_chunks(const SlurmJob& job) {
    std::vector<FailedChunk> failed;
    for (std::size_t i = 0; i < job.chunks.size(); ++i) {
        std::ifstream in(chunk_status(job, i));
        std::string status;
        const bool read = static_cast<bool>(in >> status);
        if (read && status == "0") continue;
        FailedChunk chunk{i, job.chunks[i], read ? "exit status " + status
                                                 : "no status (cancelled, out of time, or its node failed)",
                          chunk_log(job, i), last_line(chunk_log(job, i))};
        failed.push_back(std::move(chunk));
    }
    return failed;
}

int run_submit(const SubmitOptions& options, Context& context) {
    SlurmJob job;
    job.command = parse_submitted_command(options.command);
    job.chunks = frame_chunks(job.command.frames, options.chunk);
    if (job.chunks.size() > MAX_TASKS) {
        throw UsageError(std::to_string(job.chunks.size()) + " chunks of " + std::to_string(options.chunk) +
                         " frames: Slurm takes at most " + std::to_string(MAX_TASKS) +
                         " tasks in an array job; give a larger --chunk");
    }
    std::error_code error;
    job.zhost = fs::read_symlink("/proc/self/exe", error).string();
    if (error) throw Error("cannot find the zhost program itself: " + error.message());
    job.module = fs::absolute(context.global.module_path).lexically_normal().string();
    job.workdir = fs::current_path().string();
    job.folder = job_folder(job.command, job.workdir);
    job.partition = options.partition;
    const std::string script = slurm_script(job);
    if (options.dry_run) {
        std::fputs(script.c_str(), stdout);
        return 0;
    }
    fs::create_directories(job.folder, error);
    if (!fs::is_directory(job.folder)) throw Error(job.folder + ": cannot create the job's folder");
    remove_earlier_results(job.folder);
    write_script(script_path(job), script);
    const std::string id = submit_job(job);
    context.reporter.report("submitted Slurm job %s: %zu tasks for frames %s; script %s, logs %s/chunk-N.log\n",
                            id.c_str(), job.chunks.size(), job.command.frames.text().c_str(),
                            one_line(script_path(job)).c_str(), one_line(job.folder).c_str());
    if (!options.wait) return 0;
    std::fflush(stdout);
    wait_for_job(id);
    const std::vector<FailedChunk> failed = failed_chunks(job);
    for (const FailedChunk& chunk : failed) print_failure(chunk);
    if (!failed.empty()) return 1;
    context.reporter.report("job %s done: frames %s\n", id.c_str(), job.command.frames.text().c_str());
    return 0;
}

}  // namespace zhost
