// The zhost program run as a user runs it: exit statuses, messages, output.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "obk_version.h"
#include "zhost/running/scene_file.h"
#include "zhost_test_support.h"

using ztest::contains;
using ztest::line_count;
using ztest::run_zhost;

namespace {

namespace fs = std::filesystem;

// A copy of examples/ with the inputs that examples/make-inputs.sh makes
// there, the place where the examples in the help run.
class ExamplesDir {
public:
    ExamplesDir() {
        for (const char* file : {"scene.json", "make-inputs.sh"}) {
            fs::copy_file(fs::path(OBK_EXAMPLES_DIR) / file, dir_ / file);
        }
        const std::string script = "cd '" + dir_.path().string() + "' && ZHOST='" ZHOST_PATH
                                   "' bash make-inputs.sh > make-inputs.log 2>&1";
        EXPECT_EQ(std::system(script.c_str()), 0) << "examples/make-inputs.sh failed; see its log";
    }
    const fs::path& path() const { return dir_.path(); }

private:
    test::TempDir dir_;
};

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> all;
    for (std::string word; in >> word;) all.push_back(word);
    return all;
}

// The example command lines that end a help text, without "zhost"; empty
// unless the text ends with them.
std::vector<std::vector<std::string>> examples_in(const std::string& help) {
    std::istringstream in(help);
    std::vector<std::vector<std::string>> examples;
    bool in_examples = false;
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        if (line.rfind("Examples", 0) == 0) {
            in_examples = true;
        } else if (in_examples && line.rfind("  zhost ", 0) == 0) {
            std::vector<std::string> args = words(line);
            examples.emplace_back(args.begin() + 1, args.end());
        } else {
            in_examples = false;
            examples.clear();
        }
    }
    return examples;
}

// Commands that compute pixels, as run in the examples folder, with the
// frames they go through one by one.
struct PixelCommand {
    std::vector<std::string> args;
    std::vector<int> frames;
};
const PixelCommand PIXEL_COMMANDS[] = {
    {{"demo", "--out", "out/demo", "--frame-count", "2", "--size", "32x18"}, {1, 2}},
    {{"save", "inputs/depth.####.exr", "--frames", "1-2", "--base", "out/zbuf"}, {1, 2}},
    {{"load", "inputs/zbuf0001.zb", "-o", "out/depth.exr"}, {1}},
    {{"comp", "--render", "inputs/render.0001.exr", "--zbuffer", "inputs/zbuf0001.zb", "--comp",
      "inputs/comp.0001.exr", "-o", "out/comp.exr"}, {1}},
    {{"render", "scene.json"}, {1, 2}},
};

std::string shown(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& arg : args) text += arg + " ";
    return text;
}

std::vector<std::string> with(std::vector<std::string> before, const std::vector<std::string>& args) {
    before.insert(before.end(), args.begin(), args.end());
    return before;
}

}  // namespace

TEST(ZhostCli, HelpOfEveryCommandStatesTheRuleAndEndsWithExamplesThatRun) {
    const ExamplesDir examples;
    const std::string rule = "a pixel takes the composite image's colour and the depth image's depth where the depth "
                             "image is nearer than the render; alpha stays the render's.";
    EXPECT_EQ(run_zhost({"--help"}, examples.path()).status, 0) << "the program itself";
    for (const char* command : {"", "servers", "demo", "save", "load", "info", "comp", "render", "submit"}) {
        std::vector<std::string> args;
        if (*command) args.push_back(command);
        args.push_back("--help");
        const ztest::RunResult run = ztest::run_in_process(args);
        EXPECT_EQ(run.status, 0) << command << ": " << run.err;
        EXPECT_TRUE(contains(run.out, "Usage:")) << command;
        EXPECT_TRUE(run.err.empty()) << command << ": " << run.err;
        std::string flowing = run.out;
        std::replace(flowing.begin(), flowing.end(), '\n', ' ');
        EXPECT_TRUE(contains(flowing, rule)) << command << ":\n" << run.out;
        const std::vector<std::vector<std::string>> lines = examples_in(run.out);
        EXPECT_TRUE(lines.size() == 1 || lines.size() == 2) << command << ":\n" << run.out;
        for (const std::vector<std::string>& example : lines) {
            EXPECT_TRUE(*command == '\0' || example.front() == command) << command << ": " << example.front();
            const ztest::RunResult ran = ztest::run_in(examples.path(), example);
            EXPECT_EQ(ran.status, 0) << shown(example) << ": " << ran.err;
            EXPECT_TRUE(ran.err.empty()) << shown(example) << ": " << ran.err;
        }
    }
    // The example scene, and what the examples saved of it, read back.
    for (const char* scene : {"scene.json", "out/scene-saved.json"}) {
        EXPECT_NO_THROW(zhost::read_scene_file((examples.path() / scene).string())) << scene;
    }
    const ztest::RunResult save = ztest::run_in_process({"save", "--help"});
    for (const char* option : {"--base", "--rgb", "--frame", "--frames", "--depth-channel"}) {
        EXPECT_TRUE(contains(save.out, option)) << option;
    }
}

TEST(ZhostCli, VersionPrintsTheReleaseVersionWithoutACommand) {
    test::TempDir dir;
    const ztest::RunResult run = run_zhost({"--version"}, dir.path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "zhost " OBK_VERSION "\n");
    EXPECT_TRUE(run.err.empty()) << run.err;
}

TEST(ZhostCli, UsageErrorsExitTwo) {
    test::TempDir dir;
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"nonsense"},
        {"info"},
        {"save", "depth.exr"},
        {"save", "depth.exr", "--base", "z", "--frame", "1", "--frames", "1-2"},
        {"save", "depth.####.exr", "--base", "z"},
        {"save", "depth.exr", "--base", "z", "--frames", "1-3"},
        {"save", "depth.####.exr", "--base", "z", "--frames", "9-1"},
        {"save", "depth.%s.exr", "--base", "z", "--frame", "1"},
        {"load", "a.zb"},
        {"comp", "--render", "r.exr", "--zbuffer", "z.zb", "-o", "out.exr"},
        {"render", "scene.json", "--frames", "x"},
        {"demo", "--frame-count", "0"},
        {"demo", "--frame-count", "many"},
        {"demo", "--frames", "3"},
        {"demo", "--size", "640"},
        {"demo", "--size", "0x10"},
        {"demo", "--threads", "-1"},
        {"servers", "--bogus"},
        {"--progress", "xml", "servers"},
        {"-v", "--progress", "json", "servers"},
        {"info", "--skip-missing", "z.zb"},
        {"submit", "slurm", "--dry-run", "--", "comp", "-o", "c.#.exr"},
        {"submit", "slurm", "--dry-run", "--", "demo", "--frames", "1-2"},
        {"submit", "pbs", "--dry-run", "--", "comp", "--frames", "1-2"},
        {"submit", "slurm", "--chunk", "0", "--dry-run", "--", "comp", "--frames", "1-2"},
        {"submit", "slurm", "--chunk", "1", "--dry-run", "--", "comp", "--frames", "1-1001"},
    };
    for (const auto& args : cases) {
        std::string shown;
        for (const std::string& arg : args) shown += arg + " ";
        const ztest::RunResult run = ztest::run_in_process(args);
        EXPECT_EQ(run.status, 2) << shown << "\n" << run.err;
        EXPECT_TRUE(contains(run.err, "zhost: ")) << shown << "\n" << run.err;
        EXPECT_TRUE(run.out.empty()) << shown;
    }
    const ztest::RunResult program = run_zhost({"demo", "--frame-count", "0", "--out", "out"}, dir.path());
    EXPECT_EQ(program.status, 2) << "the program itself: " << program.err;
    EXPECT_TRUE(ztest::files_in(dir.path()).empty()) << "no output for a usage error";
}

TEST(ZhostCli, MistypedCommandsNameTheCommandMeant) {
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"compp"}, "zhost: unknown command 'compp' (did you mean 'comp'?)\n"},
        {{"--module", "m.p", "rnder", "scene.json"}, "zhost: unknown command 'rnder' (did you mean 'render'?)\n"},
        {{"-q", "sevrers"}, "zhost: unknown command 'sevrers' (did you mean 'servers'?)\n"},
        {{"lod", "a.zb", "-o", "a.exr"}, "zhost: unknown command 'lod' (did you mean 'load'?)\n"},
        {{"nonsense"}, "zhost: unknown command 'nonsense'\n"},
        {{"co"}, "zhost: unknown command 'co'\n"},
    };
    for (const auto& c : cases) {
        const ztest::RunResult run = ztest::run_in_process(c.args);
        EXPECT_EQ(run.status, 2) << shown(c.args);
        EXPECT_EQ(run.err.substr(0, run.err.find('\n') + 1), c.error) << shown(c.args);
        EXPECT_TRUE(run.out.empty()) << shown(c.args);
    }
}

TEST(ZhostCli, QuietSilencesWroteLinesAndVerboseAddsOneLinePerFrame) {
    const ExamplesDir examples;
    for (const PixelCommand& command : PIXEL_COMMANDS) {
        const std::string name = shown(command.args);
        const ztest::RunResult normal = ztest::run_in(examples.path(), command.args);
        ASSERT_EQ(normal.status, 0) << name << normal.err;
        EXPECT_TRUE(contains(normal.out, "wrote ")) << name << normal.out;
        EXPECT_FALSE(contains(normal.out, "frame 1:")) << name << normal.out;

        const ztest::RunResult quiet = ztest::run_in(examples.path(), with({"-q"}, command.args));
        EXPECT_EQ(quiet.status, 0) << name << quiet.err;
        EXPECT_EQ(quiet.out, "") << name;
        EXPECT_EQ(quiet.err, "") << name;

        const ztest::RunResult verbose = ztest::run_in(examples.path(), with({"-v"}, command.args));
        EXPECT_EQ(verbose.status, 0) << name << verbose.err;
        EXPECT_TRUE(contains(verbose.out, "wrote ")) << name << verbose.out;
        std::size_t frame_lines = 0;
        for (int frame : command.frames) {
            frame_lines += contains(verbose.out, "frame " + std::to_string(frame) + ": ") ? 1 : 0;
        }
        EXPECT_EQ(frame_lines, command.frames.size()) << name << verbose.out;
        EXPECT_EQ(std::count(verbose.out.begin(), verbose.out.end(), '\n'),
                  std::count(normal.out.begin(), normal.out.end(), '\n') + std::ptrdiff_t(command.frames.size()))
            << name << verbose.out;
    }
}

// --progress json: stdout holds one JSON line per frame and nothing else,
// naming outputs that are in place.
TEST(ZhostCli, ProgressJsonPrintsOneLinePerFrameOnEveryCommand) {
    const ExamplesDir examples;
    for (const PixelCommand& command : PIXEL_COMMANDS) {
        const std::string name = shown(command.args);
        const ztest::RunResult run = ztest::run_in(examples.path(), with({"--progress", "json"}, command.args));
        ASSERT_EQ(run.status, 0) << name << run.err;
        std::istringstream lines(run.out);
        std::vector<int> frames;
        for (std::string line; std::getline(lines, line);) {
            const nlohmann::json frame = nlohmann::json::parse(line);
            frames.push_back(frame["frame"]);
            EXPECT_GE(frame["seconds"].get<double>(), 0.0) << name;
            ASSERT_FALSE(frame["outputs"].empty()) << name << line;
            for (const std::string output : frame["outputs"]) {
                EXPECT_TRUE(fs::is_regular_file(examples.path() / output)) << name << output;
            }
        }
        EXPECT_EQ(frames, command.frames) << name << run.out;
    }
}

// --skip-missing: frames whose inputs are missing (frame 3, run first) are
// left out and named at the end, the others written, exit status 1;
// without it the run stops at the missing frame.
TEST(ZhostCli, SkipMissingRunsTheOtherFramesAndNamesTheMissingOnes) {
    const ExamplesDir examples;
    struct Case { std::vector<std::string> args; const char* missing; std::vector<std::string> outputs; };
    const Case cases[] = {
        {{"save", "inputs/depth.####.exr", "--base", "out/skip"}, "inputs/depth.0003.exr",
         {"out/skip0001.zb", "out/skip0002.zb"}},
        {{"load", "inputs/zbuf####.zb", "-o", "out/skip.####.png"}, "inputs/zbuf0003.zb",
         {"out/skip.0001.png", "out/skip.0002.png"}},
        {{"comp", "--render", "inputs/render.####.exr", "--zbuffer", "inputs/zbuf####.zb", "--comp",
          "inputs/comp.####.exr", "-o", "out/skip.####.exr"}, "inputs/render.0003.exr, inputs/zbuf0003.zb, inputs/comp.0003.exr",
         {"out/skip.0001.exr", "out/skip.0002.exr"}},
        {{"render", "scene.json"}, "inputs/render.0003.exr, inputs/zbuf0003.zb, inputs/comp.0003.exr", {"out/composite.0001.exr", "out/composite.0002.exr"}},
    };
    for (const Case& c : cases) {
        const std::string name = shown(c.args);
        fs::remove_all(examples.path() / "out");
        fs::create_directory(examples.path() / "out");
        const ztest::RunResult stopped = ztest::run_in(examples.path(), with(c.args, {"--frames", "3,1-2"}));
        EXPECT_EQ(stopped.status, 1) << name << stopped.err;
        EXPECT_TRUE(ztest::files_in(examples.path() / "out").empty()) << name;

        const ztest::RunResult run =
            ztest::run_in(examples.path(), with(c.args, {"--frames", "3,1-2", "--skip-missing", "--progress", "json"}));
        EXPECT_EQ(run.status, 1) << name << run.err;
        EXPECT_EQ(run.err, "zhost: 1 of 3 frames left out, their inputs missing: 3 (" + std::string(c.missing) + ")\n")
            << name;
        for (const std::string& output : c.outputs) EXPECT_TRUE(fs::is_regular_file(examples.path() / output)) << output;
        std::istringstream lines(run.out);
        std::string line;
        ASSERT_TRUE(std::getline(lines, line)) << name;
        EXPECT_EQ(nlohmann::json::parse(line)["frame"], 3) << name;
        EXPECT_TRUE(nlohmann::json::parse(line).contains("missing")) << name;
        EXPECT_EQ(ztest::line_count(run.out), 3) << name << run.out;
    }
}

// A dry run prints the job script, which runs this zhost and its module by
// absolute path, and writes and submits nothing.
TEST(ZhostCli, SubmitDryRunPrintsTheJobScriptOnly) {
    test::TempDir dir;
    const ztest::RunResult run = run_zhost({"--module", test::module_path(), "submit", "slurm", "--chunk", "5",
                                            "--dry-run", "--", "load", "z####.zb", "-o", "out/d.####.exr",
                                            "--frames", "1-12"},
                                           dir.path());
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string folder = fs::canonical(dir.path()).string() + "/out/zhost-load-1-12";
    for (const std::string& line : {std::string("#!/bin/sh\n"), std::string("#SBATCH --array=0-2\n"), "#SBATCH --output=" + folder + "/chunk-%a.log\n",
                                   std::string("  1) frames=6-10 ;;\n"), std::string("  2) frames=11-12 ;;\n"),
                                   "'" ZHOST_PATH "' --module '" + std::string(test::module_path()) + "' 'load' 'z####.zb' '-o' "
                                   "'out/d.####.exr' '--frames' \"$frames\"\n"}) {
        EXPECT_TRUE(contains(run.out, line)) << line << "\n" << run.out;
    }
    EXPECT_TRUE(ztest::files_in(dir.path()).empty());
    // One task per frame: up to Slurm's 1000 tasks of an array job.
    const ztest::RunResult most = ztest::run_in_process({"submit", "slurm", "--chunk", "1", "--dry-run", "--", "comp",
                                                         "-o", "c.#.exr", "--frames", "1-1000"});
    EXPECT_EQ(most.status, 0) << most.err;
    EXPECT_TRUE(contains(most.out, "#SBATCH --array=0-999\n"));
}

TEST(ZhostCli, EveryCommandThatComputesPixelsTakesThreads) {
    const ExamplesDir examples;
    for (const PixelCommand& command : PIXEL_COMMANDS) {
        const std::string name = shown(command.args);
        EXPECT_EQ(ztest::run_in(examples.path(), with(command.args, {"--threads", "1"})).status, 0) << name;
        EXPECT_EQ(ztest::run_in(examples.path(), with(command.args, {"--threads", "2"})).status, 0) << name;
        EXPECT_EQ(ztest::run_in(examples.path(), with(command.args, {"--threads", "-1"})).status, 2) << name;
    }
    for (const char* command : {"info", "servers"}) {
        EXPECT_EQ(ztest::run_in(examples.path(), {command, "--threads", "2"}).status, 2) << command << " computes none";
    }
}

TEST(ZhostCli, ServersListsTheModulesServers) {
    test::TempDir dir;
    for (const auto& args : std::vector<std::vector<std::string>>{{"servers", "--module", test::module_path()},
                                                                   {"--module", test::module_path(), "servers"}}) {
        const ztest::RunResult run = run_zhost(args, dir.path());
        EXPECT_EQ(run.status, 0) << run.err;
        for (const char* server : {"OBK_ZSave", "OBK_ZLoad", "OBK_ZComp", "ImageLoader", "PixelFilterHandler"}) {
            EXPECT_TRUE(contains(run.out, server)) << server;
        }
    }
    const ztest::RunResult by_default = run_zhost({"servers"}, dir.path());
    EXPECT_EQ(by_default.status, 0) << "the module beside the program: " << by_default.err;

    const ztest::RunResult by_variable =
        run_zhost({"servers"}, dir.path(), {"ZHOST_MODULE=" + (dir / "elsewhere.p").string()});
    EXPECT_EQ(by_variable.status, 1);
    EXPECT_TRUE(contains(by_variable.err, "elsewhere.p: no such module file")) << by_variable.err;
    EXPECT_EQ(line_count(by_variable.err), 1) << by_variable.err;

    const ztest::RunResult not_a_module = run_zhost({"servers", "--module", ZHOST_PATH}, dir.path());
    EXPECT_EQ(not_a_module.status, 1);
    EXPECT_EQ(line_count(not_a_module.err), 1) << not_a_module.err;
}

TEST(ZhostCli, InfoShowsTheHeaderOfAnAcceptedFile) {
    test::TempDir dir;
    test::HeaderFields h;
    h.min_depth = 0.25f;
    h.max_depth = 7.5f;
    h.background_depth = 1000.0f;
    test::write_file(dir / "good.zb", test::depth_file(h));
    const ztest::RunResult run = run_zhost({"info", "good.zb"}, dir.path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;
    for (const char* line : {"good.zb: accepted", "file size        88 bytes", "FORM size        80", "size             2 x 3",
                             "value type       6 (32-bit float)", "units            2", "min depth        0.25",
                             "max depth        7.5", "background depth 1000", "body             3 of 3 rows present"}) {
        EXPECT_TRUE(contains(run.out, line)) << line << "\n" << run.out;
    }
}

TEST(ZhostCli, InfoNamesTheRuleForEachRefusedFileAndExitsOne) {
    test::TempDir dir;
    test::HeaderFields compressed;
    compressed.compression = 1;
    test::write_file(dir / "compressed.zb", test::depth_file(compressed));
    test::write_file(dir / "good.zb", test::depth_file());
    const test::Bytes whole = test::depth_file();
    test::write_file(dir / "cut.zb", test::Bytes(whole.begin(), whole.end() - 9));
    test::write_file(dir / "text.zb", test::Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!', '\n'});

    struct Case { const char* file; const char* verdict; };
    const Case cases[] = {
        {"compressed.zb", "compressed.zb: refused: compression is 1"},
        {"cut.zb", "cut.zb: refused: body ends after 1 of 3 rows"},
        {"text.zb", "text.zb: refused: begins with \"hell\", not \"FORM\""},
    };
    for (const Case& c : cases) {
        const ztest::RunResult run = run_zhost({"info", c.file}, dir.path());
        EXPECT_EQ(run.status, 1) << c.file;
        EXPECT_TRUE(contains(run.out, c.verdict)) << run.out;
    }
    const ztest::RunResult several = run_zhost({"info", "good.zb", "compressed.zb", "missing.zb", "good.zb"}, dir.path());
    EXPECT_EQ(several.status, 1);
    EXPECT_EQ(std::count(several.out.begin(), several.out.end(), ':') >= 3, true);
    EXPECT_TRUE(contains(several.out, "good.zb: accepted"));
    EXPECT_TRUE(contains(several.out, "compressed.zb: refused"));
    EXPECT_EQ(several.err, "zhost: missing.zb: cannot open: No such file or directory\n");
}

TEST(ZhostCli, InfoTakesPatternsAndSpeaksInWordsAndJson) {
    test::TempDir dir;
    // Frames -1 to 2 of a sequence, named by the saver: negative frames as
    // every pattern pads them.
    for (int frame = -1; frame <= 2; ++frame) {
        char name[32];
        std::snprintf(name, sizeof name, "d.%s%04d.exr", frame < 0 ? "-" : "", frame < 0 ? -frame : frame);
        ztest::write_image((dir / name).string(), 2, 2, {"Z"}, {1, 2, 3, float(frame)});
    }
    ASSERT_EQ(run_zhost({"save", "d.#.exr", "--frames", "-1-2", "--base", "z"}, dir.path()).status, 0);
    test::HeaderFields compressed;
    compressed.compression = 1;
    test::write_file(dir / "z0007.zb", test::depth_file(compressed));
    test::write_file(dir / "literal#.zb", test::depth_file());
    struct Case {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> files;  // in the order reported
    };
    const Case cases[] = {
        {{"z####.zb"}, 1, {"z-0001.zb", "z0000.zb", "z0001.zb", "z0002.zb", "z0007.zb"}},
        {{"z@@@@.zb", "--frames", "-1,1-2"}, 0, {"z-0001.zb", "z0001.zb", "z0002.zb"}},
        {{"z%04d.zb", "--frames", "0-2x2", "literal#.zb"}, 0, {"z0000.zb", "z0002.zb", "literal#.zb"}},
        {{"nothing.####.zb", "z0001.zb"}, 1, {"z0001.zb"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"info", "--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ztest::RunResult run = run_zhost(args, dir.path());
        EXPECT_EQ(run.status, c.status) << c.args[0] << ": " << run.err;
        const nlohmann::json reports = nlohmann::json::parse(run.out);
        std::vector<std::string> files;
        for (const nlohmann::json& report : reports) files.push_back(report["file"]);
        EXPECT_EQ(files, c.files) << c.args[0];
    }
    EXPECT_TRUE(contains(run_zhost({"info", "nothing.####.zb"}, dir.path()).err, "nothing.####.zb: no file matches"));

    const nlohmann::json report = nlohmann::json::parse(run_zhost({"info", "--json", "z0007.zb"}, dir.path()).out)[0];
    EXPECT_EQ(report["verdict"], "refused");
    EXPECT_EQ(report["reason"], "compression is 1; only 0 is read");
    const nlohmann::json& header = report["header"];
    EXPECT_EQ(header["value_type"], nlohmann::json::parse(R"({"code": 6, "meaning": "32-bit float"})"));
    EXPECT_EQ(header["compression"]["meaning"], "unknown compression: refused");
    EXPECT_EQ(header["ordering"]["meaning"], "row by row from the first row, each row from its first sample");
    EXPECT_EQ(header["units"]["meaning"], "the saver's default code; readers take depths as stored");
    EXPECT_EQ(header["width"], 2);
    const ztest::RunResult words = run_zhost({"info", "z0002.zb"}, dir.path());
    for (const char* line : {"compression      0 (none: samples stored plainly)", "units            2 (the saver's",
                             "scale            1 (depths are used as stored)", "min depth        1"}) {
        EXPECT_TRUE(contains(words.out, line)) << line << "\n" << words.out;
    }
}

TEST(ZhostCli, DemoWritesItsPreviewsQuietlyWhenNotOnATerminal) {
    test::TempDir dir;
    const ztest::RunResult run = run_zhost({"demo", "--out", "out", "--frame-count", "3", "--size", "64x36", "--threads", "2"},
                                           dir.path());
    const std::vector<std::string> expected = {
        "composite-depth0001.png", "composite-depth0002.png", "composite-depth0003.png", "composite0001.png",
        "composite0002.png",       "composite0003.png",       "contact-sheet.png",       "first-depth0001.png",
        "first-depth0002.png",     "first-depth0003.png",     "first0001.png",           "first0002.png",
        "first0003.png",           "second-depth0001.png",    "second-depth0002.png",    "second-depth0003.png",
        "second0001.png",          "second0002.png",          "second0003.png",          "zbuf0001.zb",
        "zbuf0002.zb",             "zbuf0003.zb"};
    EXPECT_EQ(ztest::files_in(dir / "out"), expected);
    EXPECT_TRUE(contains(run.out, "first0001.png .. out/first0003.png")) << run.out;
    EXPECT_FALSE(contains(run.err, "[")) << "no progress bar when stderr is a file: " << run.err;

    auto picture = OIIO::ImageInput::open((dir / "out/first-depth0002.png").string());
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->spec().width, 64);
    EXPECT_EQ(picture->spec().height, 36 + 40) << "depth preview with its legend";

    test::write_file(dir / "file", test::Bytes{1});
    const ztest::RunResult blocked = run_zhost({"demo", "--out", "file/sub", "--frame-count", "1"}, dir.path());
    EXPECT_EQ(blocked.status, 1);
    EXPECT_TRUE(contains(blocked.err, "cannot create the output directory")) << blocked.err;
    EXPECT_EQ(line_count(blocked.err), 1) << blocked.err;
}
