// Spreading a sequence over a farm: chunks of frames, the submitted command
// line, and the job script as a shell runs it (Slurm itself is exercised by
// submit_slurm.sh).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "zhost/sequences/submit.h"
#include "zhost/text/error.h"
#include "zhost_test_support.h"

using ztest::contains;

namespace {

namespace fs = std::filesystem;

std::string read_text(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs `script` with sh, stdout into `out`; returns the exit status.
int run_sh(const std::string& script, const fs::path& out) {
    const std::string line = "sh -c " + zhost::shell_quoted(script) + " > " + zhost::shell_quoted(out.string()) + " 2>&1";
    const int status = std::system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(FrameChunks, SplitTheFramesInOrderIntoChunksThatReadBack) {
    struct Case { const char* frames; int64_t size; std::vector<std::string> chunks; };
    const Case cases[] = {
        {"1-12", 4, {"1-4", "5-8", "9-12"}},
        {"1-10", 4, {"1-4", "5-8", "9-10"}},  // the last chunk shorter
        {"1-12", 12, {"1-12"}},
        {"1-12", 13, {"1-12"}},
        {"1-12", 1, {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"}},
        {"1-24x2", 4, {"1-7x2", "9-15x2", "17-23x2"}},
        {"1,3,4", 3, {"1,3-4"}},
        {"1,3", 2, {"1,3"}},  // two frames: a list reads better than a step
        {"10,2,3", 2, {"10,2", "3"}},
        {"-3-2", 3, {"-3--1", "0-2"}},
    };
    for (const Case& c : cases) {
        const zhost::FrameRange frames = zhost::parse_frame_range(c.frames);
        const std::vector<std::string> chunks = zhost::frame_chunks(frames, c.size);
        EXPECT_EQ(chunks, c.chunks) << c.frames << " by " << c.size;
        std::vector<int32_t> back;
        for (const std::string& chunk : chunks) {
            const std::vector<int32_t> part = zhost::parse_frame_range(chunk).frames;
            back.insert(back.end(), part.begin(), part.end());
        }
        EXPECT_EQ(back, frames.frames) << c.frames << " by " << c.size;
    }
}

TEST(ShellQuoted, EveryTextReachesTheProgramAsItIs) {
    test::TempDir dir;
    for (const std::string text : {"plain", "", "two words", "it's", "'", "$HOME `id` $(id)", "a\\b\"c", "line\nbreak",
                                   "*.exr", "-n", "#####", "semi;colon|pipe&"}) {
        ASSERT_EQ(run_sh("printf %s " + zhost::shell_quoted(text), dir / "out"), 0) << text;
        EXPECT_EQ(read_text(dir / "out"), text);
    }
}

TEST(SubmittedCommand, FindsTheFramesAndTheOutputOrRefuses) {
    struct Accepted { std::vector<std::string> args; std::size_t frames_at; bool joined; const char* output; };
    const Accepted accepted[] = {
        {{"comp", "--render", "r.#.exr", "-o", "out/c.#.exr", "--frames", "1-12"}, 6, false, "out/c.#.exr"},
        {{"load", "z#.zb", "--frames=3-4", "--output=d.#.png"}, 2, true, "d.#.png"},
        {{"save", "d.#.exr", "--base", "zb/z", "--frames", "1"}, 5, false, "zb/z"},
        {{"info", "--frames", "1-2", "z#.zb"}, 2, false, ""},
        {{"render", "scene.json", "--frames", "5-9x2"}, 3, false, ""},
    };
    for (const Accepted& c : accepted) {
        const zhost::SubmittedCommand command = zhost::parse_submitted_command(c.args);
        EXPECT_EQ(command.frames_at, c.frames_at) << c.args[0];
        EXPECT_EQ(command.frames_joined, c.joined) << c.args[0];
        EXPECT_EQ(command.output, c.output) << c.args[0];
    }
    struct Refused { std::vector<std::string> args; const char* reason; };
    const Refused refused[] = {
        {{}, "after --"},
        {{"demo", "--frames", "1-2"}, "not 'demo'"},
        {{"--frames", "1-2", "comp"}, "comes first"},
        {{"comp", "-o", "c.#.exr"}, "needs --frames"},
        {{"comp", "--frames", "1-2", "--frames=3"}, "twice"},
        {{"comp", "--frames"}, "needs a value"},
        {{"comp", "--frames", "9-1"}, "backwards"},
    };
    for (const Refused& c : refused) {
        try {
            zhost::parse_submitted_command(c.args);
            ADD_FAILURE() << c.reason << ": accepted";
        } catch (const zhost::UsageError& error) {
            EXPECT_TRUE(contains(error.what(), c.reason)) << error.what();
        }
    }
}

// The script as another farm manager (or a Slurm task) runs it: each chunk
// runs the program on its frames with every argument intact, leaves its
// exit status, and a failure is reported with its frames and log.
TEST(SlurmScript, EachChunkRunsTheCommandOnItsFramesAndLeavesItsStatus) {
    test::TempDir dir;
    zhost::SlurmJob job;
    job.command = zhost::parse_submitted_command(
        {"comp", "--render", "it's $HOME.#.exr", "--frames", "1-10", "-o", "out dir/c.#.exr"});
    job.chunks = zhost::frame_chunks(job.command.frames, 4);
    job.workdir = dir.path().string();
    job.folder = zhost::job_folder(job.command, job.workdir);
    EXPECT_EQ(job.folder, (dir / "out dir/zhost-comp-1-10").string());
    job.zhost = "echo";  // prints the command line each chunk runs
    job.module = "/m/OBKzcomp.p";
    job.partition = "render nodes";
    fs::create_directories(job.folder);
    const std::string script = zhost::slurm_script(job);
    for (const char* line : {"#SBATCH --array=0-2\n", "#SBATCH --partition=\"render nodes\"\n",
                             "  2) frames=9-10 ;;\n"}) {
        EXPECT_TRUE(contains(script, line)) << line << "\n" << script;
    }
    EXPECT_TRUE(contains(script, "#SBATCH --output=\"" + job.folder + "/chunk-%a.log\"\n")) << script;
    std::ofstream(zhost::script_path(job)) << script;

    for (const int chunk : {0, 2}) {
        ASSERT_EQ(run_sh("sh " + zhost::shell_quoted(zhost::script_path(job)) + " " + std::to_string(chunk),
                         dir / "out"), 0) << script;
        EXPECT_EQ(read_text(dir / "out"), "--module /m/OBKzcomp.p comp --render it's $HOME.#.exr --frames " +
                                              std::string(chunk == 0 ? "1-4" : "9-10") + " -o out dir/c.#.exr\n");
    }
    EXPECT_EQ(run_sh("sh " + zhost::shell_quoted(zhost::script_path(job)) + " 3", dir / "out"), 2) << "no chunk 3";

    // Chunk 1 never ran; chunk 2 fails now.
    job.zhost = "false";
    std::ofstream(zhost::script_path(job)) << zhost::slurm_script(job);
    std::ofstream(zhost::chunk_log(job, 2)) << "zhost: in/r.0009.exr: cannot open\n\n";
    EXPECT_EQ(run_sh("sh " + zhost::shell_quoted(zhost::script_path(job)) + " 2", dir / "out"), 1);
    const std::vector<zhost::FailedChunk> failed = zhost::failed_chunks(job);
    ASSERT_EQ(failed.size(), 2u);
    EXPECT_EQ(failed[0].index, 1u);
    EXPECT_EQ(failed[0].frames, "5-8");
    EXPECT_TRUE(contains(failed[0].outcome, "no status")) << failed[0].outcome;
    EXPECT_EQ(failed[1].outcome, "exit status 1");
    EXPECT_EQ(failed[1].last_line, "zhost: in/r.0009.exr: cannot open");

    job.workdir = dir.path().string() + "/say \"hi\"";
    EXPECT_THROW(zhost::slurm_script(job), zhost::UsageError) << "a quote cannot stand on an #SBATCH line";
}
