#include "zhost/text/timings.h"

namespace zhost {
namespace {

using Clock = std::chrono::steady_clock;

double milliseconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

}  // namespace

Timings::Timings(bool on) : on_(on), start_(Clock::now()) {}

void Timings::add_run(const char* stage, double milliseconds) {
    if (!on_) return;
    const std::lock_guard lock(mutex_);
    for (StageTotal& total : totals_) {
        if (total.stage == stage) {
            total.milliseconds += milliseconds;
            ++total.runs;
            return;
        }
    }
    totals_.push_back({stage, milliseconds, 1});
}

std::vector<StageTotal> Timings::totals() const {
    const std::lock_guard lock(mutex_);
    return totals_;
}

void Timings::print(std::FILE* out) const {
    if (!on_) return;
    const double whole = milliseconds_between(start_, Clock::now());
    double covered = 0;
    for (const StageTotal& total : totals()) {
        std::fprintf(out, "timing: %-16s %10.1f ms  %5.1f%%  (%d run%s)\n", total.stage.c_str(), total.milliseconds,
                     whole > 0 ? 100.0 * total.milliseconds / whole : 0.0, total.runs, total.runs == 1 ? "" : "s");
        covered += total.milliseconds;
    }
    std::fprintf(out, "timing: %-16s %10.1f ms\n", "other", whole > covered ? whole - covered : 0.0);
    std::fprintf(out, "timing: %-16s %10.1f ms\n", "whole command", whole);
}

StageTimer::StageTimer(Timings& timings, const char* stage)
    : timings_(timings), stage_(stage), start_(timings.on() ? Clock::now() : Clock::time_point{}) {}

StageTimer::~StageTimer() {
    if (timings_.on()) timings_.add_run(stage_, milliseconds_between(start_, Clock::now()));
}

}  // namespace zhost
