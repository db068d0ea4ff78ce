#include "host/filter_session.h"

#include <string>

#include "host/boundary.h"
#include "host/module_host.h"
#include "host/platform.h"

namespace host {

namespace {
// The thread's newest session. Initial-exec: the host library is linked into
// the program, so the session is reached without a call on every pixel.
thread_local FilterSession* current_session OBK_PROGRAM_TLS = nullptr;
// What set_rgb and set_alpha need from the newest session, in the thread's
// own storage: called for every pixel, they reach it with no pointer to
// follow.
thread_local SessionOutput current_output OBK_PROGRAM_TLS = {};
}  // namespace

// The record's operations: plain functions that find their frame through the
// thread's current session.
struct SessionOps {
    static float* get_line(int32_t buffer, int32_t row) noexcept {
        FilterSession* session = current_session;
        if (session == nullptr) return nullptr;
        const float* line = session->input_.line(buffer, row);
        // Once the filter has failed, the rest of the call gets no lines.
        if (line != nullptr && session->filter_ && (session->failure_ || !allowed(*session, buffer, row))) {
            line = nullptr;
        }
        ++(line ? session->counts_.lines_given : session->counts_.lines_withheld);
        // The filter reads the line only; the record's type is not const.
        return const_cast<float*>(line);
    }

    static void set_rgb(int32_t x, int32_t y, const float rgb[3]) noexcept {
        SessionOutput& output = current_output;
        if (rgb == nullptr || !inside(output, x, y)) {
            if (output.counts) ++output.counts->outside_frame;
            return;
        }
        const std::size_t at = index(output, x, y);
        for (std::size_t c = 0; c < 3; ++c) output.planes[c][at] = rgb[c];
        ++output.counts->rgb_set;
    }

    static void set_alpha(int32_t x, int32_t y, float alpha) noexcept {
        SessionOutput& output = current_output;
        if (!inside(output, x, y)) {
            if (output.counts) ++output.counts->outside_frame;
            return;
        }
        output.planes[3][index(output, x, y)] = alpha;
        ++output.counts->alpha_set;
    }

    // Asks the caller's line filter; an exception withholds the line and is
    // kept in the session, for the host to rethrow after the call.
    static bool allowed(FilterSession& session, int32_t buffer, int32_t row) noexcept {
        return guarded(false, [&] { return session.filter_(buffer, row); }, session.failure_);
    }

    // A negative position wraps to a large unsigned one, so one comparison
    // per coordinate refuses both sides.
    static bool inside(const SessionOutput& output, int32_t x, int32_t y) {
        return static_cast<uint32_t>(x) < output.width && static_cast<uint32_t>(y) < output.height;
    }

    static std::size_t index(const SessionOutput& output, int32_t x, int32_t y) {
        return static_cast<std::size_t>(y) * output.width + static_cast<std::size_t>(x);
    }
};

// Callbacks of the module (boundary.h). Only the caller's line filter can
// throw, and `allowed` guards it; set_rgb and set_alpha, called for every
// pixel, only write memory.
namespace {
extern "C" float* filter_get_line(int32_t buffer, int32_t row) noexcept { return SessionOps::get_line(buffer, row); }
extern "C" void filter_set_rgb(int32_t x, int32_t y, const float rgb[3]) noexcept { SessionOps::set_rgb(x, y, rgb); }
extern "C" void filter_set_alpha(int32_t x, int32_t y, float alpha) noexcept { SessionOps::set_alpha(x, y, alpha); }
}  // namespace

namespace {

// Where set_rgb and set_alpha of a session write: the output's colour
// planes, given the buffers it lacks. Throws HostError when the output's size
// differs from the input's.
SessionOutput output_of(const Frame& input, Frame& output, FilterCounts& counts) {
    if (output.width() != input.width() || output.height() != input.height()) {
        throw HostError("output frame " + std::to_string(output.width()) + " x " +
                        std::to_string(output.height()) + " differs from the input frame " +
                        std::to_string(input.width()) + " x " + std::to_string(input.height()));
    }
    SessionOutput target;
    for (std::size_t c = 0; c < Frame::COLOUR_BUFFERS.size(); ++c) {
        output.add(Frame::COLOUR_BUFFERS[c]);
        target.planes[c] = output.samples(Frame::COLOUR_BUFFERS[c]).data();
    }
    target.width = static_cast<uint32_t>(input.width());
    target.height = static_cast<uint32_t>(input.height());
    target.counts = &counts;
    return target;
}

}  // namespace

FilterSession::FilterSession(const Frame& input, Frame& output, LineFilter filter)
    : input_(input), filter_(std::move(filter)), output_(output_of(input, output, counts_)),
      link_(current_session, this) {
    access_.width = input.width();
    access_.height = input.height();
    access_.frame = input.number();
    access_.get_line = filter_get_line;
    access_.set_rgb = filter_set_rgb;
    access_.set_alpha = filter_set_alpha;
    current_output = output_;
}

FilterSession::~FilterSession() {
    const FilterSession* below = link_.below();
    current_output = below ? below->output_ : SessionOutput{};
}

void FilterSession::rethrow_failure() const {
    if (failure_) std::rethrow_exception(failure_);
}

}  // namespace host
