// The frames of a sequence command (save, load, comp, render) run one after
// another with the same reports for every command: a progress bar on a
// terminal, with -v a line per frame, with --progress json a JSON line per
// frame. With --skip-missing a frame whose input files are not all there is
// left out, the others go on, and the frames left out are named at the end
// (exit status 1), as oiiotool's policy for missing frames does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zhost/commands/commands.h"
#include "zhost/images/image_read.h"
#include "zhost/sequences/progress.h"
#include "zhost/sequences/sequence.h"

namespace zhost {

class FrameLoop {
public:
    // `inputs`: the patterns (or plain names) of the files that each frame
    // reads; empty entries are ignored.
    FrameLoop(const std::string& label, FrameRange frames, std::vector<std::string> inputs,
              const GlobalOptions& global);

    // The input files of `number` that do not exist.
    std::vector<std::string> missing_inputs(int32_t number) const;
    // The frames to run: all of them, or with --skip-missing those whose
    // inputs are all there.
    std::vector<int32_t> frames_with_inputs() const;

    // Runs `frame(number)`, which returns the files it wrote, for each frame.
    template <typename Frame>
    void run(Frame frame);

    // The frames run so far, in order.
    const std::vector<int32_t>& done() const { return done_; }
    Progress& progress() { return progress_; }
    // Names the frames left out on stderr; 1 when frames were left out, else 0.
    int finish() const;

private:
    FrameRange frames_;
    std::vector<FramePattern> inputs_;
    bool skip_missing_;
    Progress progress_;
    std::vector<int32_t> done_;
    std::vector<std::pair<int32_t, std::vector<std::string>>> left_out_;
};

// Prints "wrote FIRST .. LAST (N frames)" for the frames `done` of the
// output pattern `out`, or "wrote NAME  NOTE" for one frame; nothing for none.
void print_wrote_frames(const FramePattern& out, const std::vector<int32_t>& done, const std::string& note);

template <typename Frame>
void FrameLoop::run(Frame frame) {
    for (const int32_t number : frames_.frames) {
        if (skip_missing_) {
            std::vector<std::string> missing = missing_inputs(number);
            if (!missing.empty()) {
                progress_.frame_missing(number, missing);
                left_out_.emplace_back(number, std::move(missing));
                continue;
            }
        }
        std::vector<std::string> outputs;
        {
            const HeldImages held;  // the images of one frame count against the limit together
            outputs = frame(number);
        }
        progress_.frame_done(number, outputs);
        done_.push_back(number);
    }
}

}  // namespace zhost
