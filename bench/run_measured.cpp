// zbench_run REPORT PROGRAM [ARGS...]: runs the program as a child of this
// small process and writes its peak resident memory (KB) to REPORT; exits
// with the program's status. zbench starts every timed command through it:
// a child that zbench itself started would count zbench's own memory, which
// the kernel carries into the peak of a process that replaces itself with
// another program.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: zbench_run REPORT PROGRAM [ARGS...]\n");
        return 2;
    }
    const pid_t child = fork();
    if (child < 0) return 127;
    if (child == 0) {
        execv(argv[2], argv + 2);
        std::perror(argv[2]);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) return 127;
    std::FILE* report = std::fopen(argv[1], "w");
    if (report == nullptr || std::fprintf(report, "%ld\n", usage.ru_maxrss) < 0 || std::fclose(report) != 0) return 127;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
