// Rendered frames as the host hands them to image filters: W x H float
// buffers (depth, red, green, blue, alpha), rows from the top, and the
// FilterAccess through which a filter reads one frame and writes another.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <span>
#include <vector>

#include "host/newest.h"
#include "module/host_interface.h"

namespace host {

// The render buffers of one frame, each W x H 32-bit floats, row 0 first.
class Frame {
public:
    static constexpr std::array<int32_t, 5> ALL_BUFFERS = {BUF_DEPTH, BUF_RED, BUF_GREEN, BUF_BLUE, BUF_ALPHA};
    static constexpr std::array<int32_t, 4> COLOUR_BUFFERS = {BUF_RED, BUF_GREEN, BUF_BLUE, BUF_ALPHA};

    // A frame holding `buffers`, zero-filled. Throws HostError for a
    // negative size, a buffer number that a frame does not hold, or a size
    // that cannot be allocated.
    Frame(int32_t width, int32_t height, int32_t number = 0,
          std::span<const int32_t> buffers = ALL_BUFFERS);

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    int32_t number() const { return number_; }
    void set_number(int32_t number) { number_ = number; }

    bool has(int32_t buffer) const;
    // Adds a zero-filled buffer (keeps one already held) or drops one.
    void add(int32_t buffer);
    void remove(int32_t buffer);

    // The whole buffer, row after row. Throws HostError when it is not held.
    std::span<float> samples(int32_t buffer);
    std::span<const float> samples(int32_t buffer) const;

    // One row of a buffer; null when the buffer is not held or the row lies
    // outside the frame.
    float* line(int32_t buffer, int32_t row);
    const float* line(int32_t buffer, int32_t row) const;

    // Each buffer number a frame can hold has a slot; -1 for any other.
    static int slot(int32_t buffer);

private:
    int32_t width_;
    int32_t height_;
    int32_t number_;
    std::size_t line_length_;
    std::array<std::vector<float>, ALL_BUFFERS.size()> buffers_;
    std::array<bool, ALL_BUFFERS.size()> held_{};
};

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
