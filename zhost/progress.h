// A progress bar on stderr for long runs, shown only when stderr is a
// terminal and the user did not ask for quiet.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace zhost {

// True when a progress bar should be drawn: stderr is a terminal and not quiet.
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

private:
    void draw();

    std::string label_;
    int64_t total_;
    int64_t done_ = 0;
    bool enabled_;
    std::mutex mutex_;
};

}  // namespace zhost
