// A progress bar on stderr for long runs, shown only when stderr is a
// terminal and the user asked for neither quiet nor verbose; with -v a line
// on stdout for each frame done instead.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace zhost {

// True when a progress bar should be drawn: stderr is a terminal, and neither
// quiet nor verbose.
bool progress_wanted(bool quiet);

class Progress {
public:
    Progress(std::string label, int64_t total, bool enabled);
    // Ends the bar's line.
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Counts `steps` more done; safe to call from several threads.
    void advance(int64_t steps = 1);
    // Counts one frame done; with -v prints "frame N: WHAT (S s)", S the
    // seconds since the frame before (or since the start).
    void frame_done(int32_t frame, const std::string& what);

private:
    void draw();

    std::string label_;
    int64_t total_;
    int64_t done_ = 0;
    bool enabled_;
    std::chrono::steady_clock::time_point last_frame_ = std::chrono::steady_clock::now();
    std::mutex mutex_;
};

}  // namespace zhost
