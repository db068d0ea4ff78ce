// Wall-clock time per stage of a command, for `zhost --timings`: each
// stage's time is summed over its repeats (one per frame, say) and printed
// on stderr, one line per stage, when the command ends.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace zhost {

// Turns timing on, forgetting stages timed before; stop_timings turns it off.
void enable_timings();
void stop_timings();

// Times the enclosing scope as one run of `stage`; does nothing while
// timings are off. Stages may be timed from any thread.
class StageTimer {
public:
    explicit StageTimer(const char* stage);
    ~StageTimer();
    StageTimer(const StageTimer&) = delete;
    StageTimer& operator=(const StageTimer&) = delete;

private:
    const char* stage_;
    std::chrono::steady_clock::time_point start_;
};

struct StageTotal {
    std::string stage;
    double milliseconds = 0;
    int runs = 0;
};

// The stages timed so far, in the order each first ended.
std::vector<StageTotal> stage_totals();

// One line per stage, then the whole time since timings were enabled and
// the part of it that no stage covers. Prints nothing while timings are off.
void print_timings(std::FILE* out);

}  // namespace zhost
