// The frames of a sequence command (save, load, comp, render) run in frame
// order with the same reports for every command: a progress bar on a
// terminal, with -v a line per frame, with --progress json a JSON line per
// frame. With --skip-missing a frame whose input files are not all there is
// left out, the others go on, and the frames left out are named at the end
// (exit status 1), as oiiotool's policy for missing frames does.
//
// Each frame is read (decoded) on a thread of its own while the frame
// before it is finished (composited, encoded, committed) on the calling
// thread: a frame's inputs are read at most FRAMES_QUEUED frames ahead of
// the one being finished, within the memory limit (image_read.h). Reports,
// messages and commits keep frame order; the first failing frame stops the
// run with the frames before it committed and nothing of the later ones.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <type_traits>
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
    FrameLoop(const std::string& label, FrameRange frames, std::vector<std::string> inputs, Context& context);

    // The input files of `number` that do not exist.
    std::vector<std::string> missing_inputs(int32_t number) const;
    // The frames to run: all of them, or with --skip-missing those whose
    // inputs are all there.
    std::vector<int32_t> frames_with_inputs() const;

    // For each frame, runs `read(number, account)` on the reading thread and
    // then `finish(number, WORK&&, account)` with what it returned on the
    // calling thread, which returns the files written. The frame's images
    // count against its `account` (HeldImages&). `read` may only read files (through
    // the module's depth loader too, which touches no module-wide state);
    // everything else, messages included, belongs in `finish`. A frame's
    // read failure is thrown when its turn comes.
    template <typename Read, typename Finish>
    void run(Read read, Finish finish);

    // The frames run so far, in order.
    const std::vector<int32_t>& done() const { return done_; }
    Progress& progress() { return progress_; }
    // Names the frames left out on stderr; 1 when frames were left out, else 0.
    int finish() const;

private:
    FrameRange frames_;
    std::vector<FramePattern> inputs_;
    bool skip_missing_;
    ImageBudget& images_;
    Progress progress_;
    std::vector<int32_t> done_;
    std::vector<std::pair<int32_t, std::vector<std::string>>> left_out_;
};

// Prints "wrote FIRST .. LAST (N frames)" for the frames `done` of the
// output pattern `out`, or "wrote NAME  NOTE" for one frame; nothing for none.
void print_wrote_frames(const Reporter& reporter, const FramePattern& out, const std::vector<int32_t>& done,
                        const std::string& note);

// Frames read ahead, at most this many waiting to be finished.
constexpr std::size_t FRAMES_QUEUED = 1;

namespace detail {

// A frame as the reading thread hands it over: left out by --skip-missing
// (its missing inputs), read (its images' account and what the read gave) or
// failed. The work goes before its account.
template <typename Work>
struct ReadFrame {
    int32_t number = 0;
    std::vector<std::string> missing;
    std::unique_ptr<HeldImages> held;
    std::optional<Work> work;
    std::exception_ptr failure;
};

// Reads the loop's frames in order on a thread of its own, up to
// FRAMES_QUEUED frames ahead of next() and only while the memory limit
// leaves room for another frame; stops after a failed read.
template <typename Work>
class ReadAhead {
public:
    template <typename Read>
    ReadAhead(const FrameLoop& loop, const std::vector<int32_t>& frames, bool skip_missing, ImageBudget& images,
              Read& read)
        : thread_([this, &loop, &frames, skip_missing, &images, &read](std::stop_token stop) {
              for (const int32_t number : frames) {
                  if (!wait_for_room(stop) || !images.wait_for_room([&] { return stop.stop_requested(); })) return;
                  ReadFrame<Work> frame{number, {}, nullptr, std::nullopt, nullptr};
                  try {
                      if (skip_missing) frame.missing = loop.missing_inputs(number);
                  } catch (...) {
                      frame.failure = std::current_exception();
                  }
                  if (!frame.failure && frame.missing.empty()) read_into(frame, images, read);
                  const bool failed = frame.failure != nullptr;
                  hand_over(std::move(frame));
                  if (failed) return;
              }
          }) {}

    // Drops the frames read ahead (giving their images back, which a read
    // waiting for room in the memory limit needs) and ends the thread.
    ~ReadAhead() {
        thread_.request_stop();
        std::deque<ReadFrame<Work>> dropped;
        {
            const std::lock_guard lock(mutex_);
            dropped.swap(queue_);
        }
        changed_.notify_all();
        dropped.clear();
        thread_.join();
    }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The next frame in order; waits for it.
    ReadFrame<Work> next() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !queue_.empty(); });
        ReadFrame<Work> frame = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        changed_.notify_all();
        return frame;
    }

private:
    bool wait_for_room(std::stop_token stop) {
        std::unique_lock lock(mutex_);
        return changed_.wait(lock, stop, [&] { return queue_.size() < FRAMES_QUEUED; });
    }

    template <typename Read>
    static void read_into(ReadFrame<Work>& frame, ImageBudget& images, Read& read) {
        frame.held = std::make_unique<HeldImages>(images);
        try {
            frame.work.emplace(read(frame.number, *frame.held));
        } catch (...) {
            frame.failure = std::current_exception();
            frame.held.reset();
        }
    }

    void hand_over(ReadFrame<Work> frame) {
        {
            const std::lock_guard lock(mutex_);
            queue_.push_back(std::move(frame));
        }
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::deque<ReadFrame<Work>> queue_;
    std::jthread thread_;  // last: starts once the rest is made
};

}  // namespace detail

template <typename Read, typename Finish>
void FrameLoop::run(Read read, Finish finish) {
    using Work = std::invoke_result_t<Read&, int32_t, HeldImages&>;
    detail::ReadAhead<Work> ahead(*this, frames_.frames, skip_missing_, images_, read);
    for (std::size_t i = 0; i < frames_.frames.size(); ++i) {
        detail::ReadFrame<Work> frame = ahead.next();
        if (!frame.missing.empty()) {
            progress_.frame_missing(frame.number, frame.missing);
            left_out_.emplace_back(frame.number, std::move(frame.missing));
            continue;
        }
        if (frame.failure) std::rethrow_exception(frame.failure);
        std::vector<std::string> outputs;
        outputs = finish(frame.number, std::move(*frame.work), *frame.held);
        frame.work.reset();  // the images go before their account
        frame.held.reset();
        progress_.frame_done(frame.number, outputs);
        done_.push_back(frame.number);
    }
}

}  // namespace zhost
