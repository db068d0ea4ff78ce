#include "zhost/text/timings.h"

#include <atomic>
#include <mutex>

namespace zhost {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> timings_on{false};
std::mutex totals_mutex;
std::vector<StageTotal> totals;
Clock::time_point enabled_at;

double milliseconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

void add_run(const char* stage, double milliseconds) {
    const std::lock_guard lock(totals_mutex);
    for (StageTotal& total : totals) {
        if (total.stage == stage) {
            total.milliseconds += milliseconds;
            ++total.runs;
            return;
        }
    }
    totals.push_back({stage, milliseconds, 1});
}

}  // namespace

void enable_timings() {
    const std::lock_guard lock(totals_mutex);
    totals.clear();
    enabled_at = Clock::now();
    timings_on = true;
}

void stop_timings() { timings_on = false; }

StageTimer::StageTimer(const char* stage) : stage_(stage), start_(timings_on ? Clock::now() : Clock::time_point{}) {}

StageTimer::~StageTimer() {
    if (timings_on && start_ != Clock::time_point{}) add_run(stage_, milliseconds_between(start_, Clock::now()));
}

std::vector<StageTotal> stage_totals() {
    const std::lock_guard lock(totals_mutex);
    return totals;
}

void print_timings(std::FILE* out) {
    if (!timings_on) return;
    const double whole = milliseconds_between(enabled_at, Clock::now());
    double covered = 0;
    for (const StageTotal& total : stage_totals()) {
        std::fprintf(out, "timing: %-16s %10.1f ms  %5.1f%%  (%d run%s)\n", total.stage.c_str(), total.milliseconds,
                     whole > 0 ? 100.0 * total.milliseconds / whole : 0.0, total.runs, total.runs == 1 ? "" : "s");
        covered += total.milliseconds;
    }
    std::fprintf(out, "timing: %-16s %10.1f ms\n", "other", whole > covered ? whole - covered : 0.0);
    std::fprintf(out, "timing: %-16s %10.1f ms\n", "whole command", whole);
}

}  // namespace zhost
