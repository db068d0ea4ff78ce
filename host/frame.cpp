#include "host/frame.h"

#include <limits>
#include <new>
#include <string>

#include "host/module_host.h"

namespace host {

// ---- Frame -------------------------------------------------------------------

Frame::Frame(int32_t width, int32_t height, int32_t number, std::span<const int32_t> buffers)
    : width_(width), height_(height), number_(number), line_length_(0) {
    if (width < 0 || height < 0) {
        throw HostError("frame size " + std::to_string(width) + " x " + std::to_string(height) +
                        " is negative");
    }
    line_length_ = static_cast<std::size_t>(width);
    for (int32_t buffer : buffers) add(buffer);
}

int Frame::slot(int32_t buffer) {
    for (std::size_t i = 0; i < ALL_BUFFERS.size(); ++i) {
        if (ALL_BUFFERS[i] == buffer) return static_cast<int>(i);
    }
    return -1;
}

bool Frame::has(int32_t buffer) const {
    const int i = slot(buffer);
    return i >= 0 && held_[i];
}

void Frame::add(int32_t buffer) {
    const int i = slot(buffer);
    if (i < 0) throw HostError("a frame holds no render buffer " + std::to_string(buffer));
    if (held_[i]) return;
    const std::size_t rows = static_cast<std::size_t>(height_);
    if (line_length_ != 0 && rows > std::numeric_limits<std::size_t>::max() / sizeof(float) / line_length_) {
        throw HostError("frame of " + std::to_string(width_) + " x " + std::to_string(height_) +
                        " is too large");
    }
    try {
        buffers_[i].assign(line_length_ * rows, 0.0f);
    } catch (const std::bad_alloc&) {
        throw HostError("out of memory for a frame of " + std::to_string(width_) + " x " +
                        std::to_string(height_));
    }
    held_[i] = true;
}

void Frame::remove(int32_t buffer) {
    const int i = slot(buffer);
    if (i < 0) return;
    held_[i] = false;
    std::vector<float>().swap(buffers_[i]);
}

std::span<float> Frame::samples(int32_t buffer) {
    if (!has(buffer)) throw HostError("the frame holds no render buffer " + std::to_string(buffer));
    return buffers_[slot(buffer)];
}

std::span<const float> Frame::samples(int32_t buffer) const {
    if (!has(buffer)) throw HostError("the frame holds no render buffer " + std::to_string(buffer));
    return buffers_[slot(buffer)];
}

float* Frame::line(int32_t buffer, int32_t row) {
    return const_cast<float*>(static_cast<const Frame&>(*this).line(buffer, row));
}

const float* Frame::line(int32_t buffer, int32_t row) const {
    const int i = slot(buffer);
    if (i < 0 || !held_[i] || row < 0 || row >= height_) return nullptr;
    // Rows of a frame without columns exist but hold nothing.
    static const float no_samples[1] = {};
    if (line_length_ == 0) return no_samples;
    return buffers_[i].data() + static_cast<std::size_t>(row) * line_length_;
}

// ---- FilterSession -----------------------------------------------------------

namespace {
// The thread's newest session. Initial-exec: the host library is linked into
// the program, so the session is reached without a call on every pixel.
thread_local FilterSession* current_session __attribute__((tls_model("initial-exec"))) = nullptr;
// What set_rgb and set_alpha need from the newest session, in the thread's
// own storage: called for every pixel, they reach it with no pointer to
// follow.
thread_local SessionOutput current_output __attribute__((tls_model("initial-exec"))) = {};
}  // namespace

// The record's operations: plain functions that find their frame through the
// thread's current session.
struct SessionOps {
    static float* get_line(int32_t buffer, int32_t row) {
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

    static void set_rgb(int32_t x, int32_t y, const float rgb[3]) {
        SessionOutput& output = current_output;
        if (rgb == nullptr || !inside(output, x, y)) {
            if (output.counts) ++output.counts->outside_frame;
            return;
        }
        const std::size_t at = index(output, x, y);
        for (std::size_t c = 0; c < 3; ++c) output.planes[c][at] = rgb[c];
        ++output.counts->rgb_set;
    }

    static void set_alpha(int32_t x, int32_t y, float alpha) {
        SessionOutput& output = current_output;
        if (!inside(output, x, y)) {
            if (output.counts) ++output.counts->outside_frame;
            return;
        }
        output.planes[3][index(output, x, y)] = alpha;
        ++output.counts->alpha_set;
    }

    // Asks the caller's line filter; an exception is kept for the host to
    // rethrow after the call, as it must not unwind through the module.
    static bool allowed(FilterSession& session, int32_t buffer, int32_t row) {
        try {
            return session.filter_(buffer, row);
        } catch (...) {
            session.failure_ = std::current_exception();
            return false;
        }
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

namespace {
extern "C" float* filter_get_line(int32_t buffer, int32_t row) { return SessionOps::get_line(buffer, row); }
extern "C" void filter_set_rgb(int32_t x, int32_t y, const float rgb[3]) { SessionOps::set_rgb(x, y, rgb); }
extern "C" void filter_set_alpha(int32_t x, int32_t y, float alpha) { SessionOps::set_alpha(x, y, alpha); }
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
