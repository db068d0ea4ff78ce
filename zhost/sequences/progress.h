// A progress bar on stderr for long runs, shown only when stderr is a
// terminal and the user asked for neither quiet, verbose nor JSON lines;
// with -v a line on stdout for each frame done instead, and with
// --progress json one JSON line on stdout for each frame.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "zhost/text/report.h"

namespace zhost {

// True when a progress bar should be drawn: stderr is a terminal, and neither
// quiet, verbose nor JSON lines.
bool progress_wanted(const Reporter& reporter);

// The JSON line of a frame done: {"frame":N,"outputs":[...],"seconds":S};
// and of a frame left out for its missing inputs: {"frame":N,"missing":[...]}.
std::string frame_done_json(int32_t frame, const std::vector<std::string>& outputs, double seconds);
std::string frame_missing_json(int32_t frame, const std::vector<std::string>& missing);

class Progress {
public:
    // Prints as `reporter` says; a bar only when progress_wanted.
    Progress(std::string label, int64_t total, const Reporter& reporter);
    // Ends the bar's line.
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Counts `steps` more done; safe to call from several threads.
    void advance(int64_t steps = 1);
    // Counts one frame done, which wrote `outputs`; with -v prints
    // "frame N: OUTPUTS (S s)", S the seconds since the frame before (or
    // since the start); with JSON lines prints its line.
    void frame_done(int32_t frame, const std::vector<std::string>& outputs);
    // Counts one frame left out because its inputs `missing` do not exist.
    void frame_missing(int32_t frame, const std::vector<std::string>& missing);
    // JSON lines are kept back from now on until release_lines(): for
    // commands whose outputs move into place only at the end.
    void hold_lines() { holding_ = true; }
    void release_lines();

private:
    void draw();
    double seconds_since_last();
    void print_line(std::string line);

    std::string label_;
    int64_t total_;
    int64_t done_ = 0;
    Reporter reporter_;
    bool enabled_;
    bool holding_ = false;
    std::vector<std::string> held_;
    std::chrono::steady_clock::time_point last_frame_ = std::chrono::steady_clock::now();
    std::mutex mutex_;
};

}  // namespace zhost
