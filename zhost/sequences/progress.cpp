#include "zhost/sequences/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "zhost/text/one_line.h"
#include "zhost/text/report.h"
#include "zhost/text/suggest.h"

namespace zhost {
namespace {

std::string json_line(const nlohmann::json& object) {
    // Names that are not UTF-8 are shown with replacement characters
    // rather than ending the run.
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace

bool progress_wanted(const Reporter& reporter) {
    return reporter.verbosity == Verbosity::NORMAL && !reporter.json && ::isatty(STDERR_FILENO) == 1;
}

std::string frame_done_json(int32_t frame, const std::vector<std::string>& outputs, double seconds) {
    // Milliseconds are precise enough for a farm manager and keep lines short.
    return json_line({{"frame", frame}, {"outputs", outputs}, {"seconds", std::round(seconds * 1000) / 1000}});
}

std::string frame_missing_json(int32_t frame, const std::vector<std::string>& missing) {
    return json_line({{"frame", frame}, {"missing", missing}});
}

Progress::Progress(std::string label, int64_t total, const Reporter& reporter)
    : label_(std::move(label)), total_(std::max<int64_t>(total, 1)), reporter_(reporter),
      enabled_(progress_wanted(reporter)) {
    if (enabled_) draw();
}

Progress::~Progress() {
    if (enabled_) std::fputc('\n', stderr);
}

void Progress::advance(int64_t steps) {
    if (!enabled_) return;
    std::lock_guard lock(mutex_);
    done_ = std::min(total_, done_ + steps);
    draw();
}

double Progress::seconds_since_last() {
    const auto now = std::chrono::steady_clock::now();
    const std::chrono::duration<double> took = now - last_frame_;
    last_frame_ = now;
    return took.count();
}

// Lines go out at once (flushed), so that a farm manager reading a pipe or
// a log sees each frame as it ends.
void Progress::print_line(std::string line) {
    if (holding_) {
        held_.push_back(std::move(line));
        return;
    }
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

void Progress::frame_done(int32_t frame, const std::vector<std::string>& outputs) {
    const double seconds = seconds_since_last();
    if (reporter_.json) {
        print_line(frame_done_json(frame, outputs, seconds));
    } else if (reporter_.verbosity == Verbosity::VERBOSE) {
        char took[32];
        std::snprintf(took, sizeof took, " (%.2f s)\n", seconds);
        std::fputs(("frame " + std::to_string(frame) + ": " + one_line(outputs.empty() ? "done" : joined(outputs)) + took).c_str(), stdout);
        std::fflush(stdout);
    }
    advance();
}

void Progress::frame_missing(int32_t frame, const std::vector<std::string>& missing) {
    seconds_since_last();
    if (reporter_.json) print_line(frame_missing_json(frame, missing));
    advance();
}

void Progress::release_lines() {
    holding_ = false;
    for (std::string& line : held_) print_line(std::move(line));
    held_.clear();
}

void Progress::draw() {
    constexpr int BAR = 30;
    const int filled = int(done_ * BAR / total_);
    char bar[BAR + 1];
    for (int i = 0; i < BAR; ++i) bar[i] = i < filled ? '#' : '.';
    bar[BAR] = '\0';
    std::fprintf(stderr, "\r%s [%s] %lld/%lld", label_.c_str(), bar, static_cast<long long>(done_),
                 static_cast<long long>(total_));
    std::fflush(stderr);
}

}  // namespace zhost
