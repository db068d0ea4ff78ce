#include <algorithm>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "zhost/commands/commands.h"
#include "zhost_test_support.h"

extern char** environ;

namespace ztest {

namespace {

std::string read_text(const std::filesystem::path& path) {
    const test::Bytes bytes = test::read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

RunResult run_in_process(const std::vector<std::string>& args) {
    std::vector<std::string> texts = {"zhost"};
    texts.insert(texts.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& text : texts) argv.push_back(text.data());
    argv.push_back(nullptr);
    RunResult result;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    result.status = zhost::run(int(texts.size()), argv.data());
    std::fflush(stdout);
    std::fflush(stderr);
    result.out = testing::internal::GetCapturedStdout();
    result.err = testing::internal::GetCapturedStderr();
    return result;
}

pid_t start_zhost(const std::vector<std::string>& args, const std::filesystem::path& dir,
                  const std::vector<std::string>& environment, const std::vector<std::string>& launcher) {
    const std::filesystem::path out_path = dir / ".zhost-stdout", err_path = dir / ".zhost-stderr";
    std::vector<std::string> argument_texts = launcher;
    argument_texts.push_back(ZHOST_PATH);
    argument_texts.insert(argument_texts.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& text : argument_texts) argv.push_back(text.data());
    argv.push_back(nullptr);

    std::vector<std::string> environment_texts;
    for (char** entry = environ; *entry; ++entry) {
        if (std::strncmp(*entry, "ZHOST_MODULE=", 13) != 0) environment_texts.push_back(*entry);
    }
    environment_texts.insert(environment_texts.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (std::string& text : environment_texts) envp.push_back(text.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot run " << argv[0];
        return -1;
    }
    return pid;
}

RunResult finish_zhost(pid_t pid, const std::filesystem::path& dir) {
    RunResult result;
    if (pid <= 0) return result;
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    result.peak_kb = usage.ru_maxrss;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const std::filesystem::path out_path = dir / ".zhost-stdout", err_path = dir / ".zhost-stderr";
    result.out = read_text(out_path);
    result.err = read_text(err_path);
    std::filesystem::remove(out_path);
    std::filesystem::remove(err_path);
    return result;
}

RunResult run_zhost(const std::vector<std::string>& args, const std::filesystem::path& dir,
                    const std::vector<std::string>& environment, const std::vector<std::string>& launcher) {
    return finish_zhost(start_zhost(args, dir, environment, launcher), dir);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

int line_count(const std::string& text) { return int(std::count(text.begin(), text.end(), '\n')); }

RunResult run_in(const std::filesystem::path& dir, std::vector<std::string> args) {
    args.insert(args.begin(), {"--module", test::module_path()});
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    RunResult run = run_in_process(args);
    std::filesystem::current_path(before);
    return run;
}

void expect_refused(const std::filesystem::path& dir, const std::vector<std::string>& args,
                    const std::string& reason) {
    std::string shown;
    for (const std::string& arg : args) shown += arg + " ";
    const std::vector<std::string> before = files_in(dir);
    const RunResult run = run_in(dir, args);
    EXPECT_EQ(run.status, 1) << shown << "\n" << run.err;
    EXPECT_EQ(line_count(run.err), 1) << shown << "\n" << run.err;
    EXPECT_TRUE(contains(run.err, reason)) << shown << "\n" << run.err;
    EXPECT_EQ(files_in(dir), before) << shown;
}

}  // namespace ztest
