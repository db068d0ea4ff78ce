// Wall-clock time per stage of a command, for `zhost --timings`: each
// stage's time is summed over its repeats (one per frame, say) and printed
// on stderr, one line per stage, when the command ends.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace zhost {

struct StageTotal {
    std::string stage;
    double milliseconds = 0;
    int runs = 0;
};

// The stages of one command; stages may be timed from any thread.
class Timings {
public:
    // Off, nothing is recorded or printed; on, the clock starts now.
    explicit Timings(bool on = false);

    bool on() const { return on_; }
    void add_run(const char* stage, double milliseconds);
    // The stages timed so far, in the order each first ended.
    std::vector<StageTotal> totals() const;
    // One line per stage, then the whole time since timing began and the
    // part of it that no stage covers. Prints nothing while off.
    void print(std::FILE* out) const;

private:
    bool on_;
    std::chrono::steady_clock::time_point start_;
    mutable std::mutex mutex_;
    std::vector<StageTotal> totals_;
};

// Times the enclosing scope as one run of `stage`.
class StageTimer {
public:
    StageTimer(Timings& timings, const char* stage);
    ~StageTimer();
    StageTimer(const StageTimer&) = delete;
    StageTimer& operator=(const StageTimer&) = delete;

private:
    Timings& timings_;
    const char* stage_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace zhost
