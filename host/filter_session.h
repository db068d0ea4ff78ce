// The FilterAccess through which an image filter reads one rendered frame
// and writes the colour of another, during one process call.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <functional>

#include "host/frame.h"
#include "host/newest.h"
#include "module/host_interface.h"

namespace host {

// Decides per get_line call whether a line is handed out; false withholds
// it (get_line gives null). Lets callers model a host that lacks a line.
using LineFilter = std::function<bool(int32_t buffer, int32_t row)>;

// What a filter did through the record during one process call.
struct FilterCounts {
    uint64_t lines_given = 0;
    uint64_t lines_withheld = 0;
    uint64_t rgb_set = 0;
    uint64_t alpha_set = 0;
    uint64_t outside_frame = 0;  // set_rgb/set_alpha calls off the frame, ignored
};

// Where set_rgb and set_alpha of the current session write: the output's
// colour planes, its size and the session's counts. All zero (every
// position outside, nothing counted) while no session is current.
struct SessionOutput {
    std::array<float*, Frame::COLOUR_BUFFERS.size()> planes{};  // red, green, blue, alpha
    uint32_t width = 0;
    uint32_t height = 0;
    FilterCounts* counts = nullptr;
};

// The FilterAccess of one process call. Its operations carry no context, so
// while the session lives it is the newest of its thread (newest.h): get_line
// reads `input`, set_rgb and set_alpha write the colour buffers of `output`.
// Create it on the thread that calls process and end it right after.
class FilterSession {
public:
    // `output` must have the input's size (HostError otherwise); it is given
    // the colour buffers that it lacks.
    FilterSession(const Frame& input, Frame& output, LineFilter filter = {});
    ~FilterSession();
    FilterSession(const FilterSession&) = delete;
    FilterSession& operator=(const FilterSession&) = delete;

    const FilterAccess* access() const { return &access_; }
    const FilterCounts& counts() const { return counts_; }

    // Rethrows what the line filter threw during the call; it could not
    // travel through the module, so get_line gave null instead.
    void rethrow_failure() const;

private:
    friend struct SessionOps;

    const Frame& input_;
    LineFilter filter_;
    FilterAccess access_{};
    FilterCounts counts_;
    std::exception_ptr failure_;
    SessionOutput output_;
    Newest<FilterSession, Reach::THIS_THREAD> link_;
};

}  // namespace host
