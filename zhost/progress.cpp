#include "zhost/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "zhost/one_line.h"
#include "zhost/report.h"

namespace zhost {

bool progress_wanted(bool quiet) {
    return !quiet && verbosity() != Verbosity::VERBOSE && ::isatty(STDERR_FILENO) == 1;
}

Progress::Progress(std::string label, int64_t total, bool enabled)
    : label_(std::move(label)), total_(std::max<int64_t>(total, 1)), enabled_(enabled) {
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

void Progress::frame_done(int32_t frame, const std::string& what) {
    if (verbosity() == Verbosity::VERBOSE) {
        const auto now = std::chrono::steady_clock::now();
        const std::chrono::duration<double> took = now - last_frame_;
        last_frame_ = now;
        std::printf("frame %d: %s (%.2f s)\n", frame, one_line(what).c_str(), took.count());
    }
    advance();
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
