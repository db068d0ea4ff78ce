#include "host/pixel_filter.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "host/boundary.h"
#include "host/platform.h"

namespace host {
namespace {

// Buffer numbers lie below this bound; plane tables are indexed by them.
constexpr int32_t BUFFER_LIMIT = 36;
using PlaneTable = std::array<float*, BUFFER_LIMIT>;

// The pixel that the calling thread is evaluating: the pixel's offset in
// every plane and the frame's planes by buffer number, copied into the
// thread's own storage so that each is one load away. PixelAccess
// operations carry no context, so they find their pixel here. Outside an
// evaluation the table holds no plane: reads give 0 and writes go nowhere.
struct PixelCursor {
    std::size_t index;
    PlaneTable planes;
};

// Initial-exec: the host library is linked into the program, so the cursor
// is reached without a call; zero-initialised, so without a guard either.
thread_local PixelCursor cursor OBK_PROGRAM_TLS = {};

float* plane_of(int64_t buffer) { return buffer >= 0 && buffer < BUFFER_LIMIT ? cursor.planes[buffer] : nullptr; }

// A run of buffers that lies within the table skips the range check per value.
bool within_table(int32_t buffer, int32_t count) {
    return buffer >= 0 && count >= 0 && count <= BUFFER_LIMIT - buffer;
}

[[gnu::always_inline]] inline float read_plane(const float* plane, std::size_t at) { return plane ? plane[at] : 0.0f; }

[[gnu::always_inline]] inline void write_plane(float* plane, std::size_t at, float value) {
    if (plane) plane[at] = value;
}

static_assert(BUF_RED >= 0 && BUF_ALPHA == BUF_RED + 3 && BUF_ALPHA < BUFFER_LIMIT);
static_assert(BUF_DEPTH >= 0 && BUF_DEPTH < BUFFER_LIMIT);

// Callbacks of the module (boundary.h), called for every pixel: they only
// read and write the frame's planes and cannot throw, so they are noexcept
// rather than guarded. The colour with alpha and the depth alone are the
// runs that pixel filters ask for most; they are tested for first and get
// straight-line code at fixed places in the table.
extern "C" void pixel_get_values(int32_t buffer, int32_t count, float* values) noexcept {
    const std::size_t at = cursor.index;
    if (buffer == BUF_RED && count == 4) {
        for (int32_t i = 0; i < 4; ++i) values[i] = read_plane(cursor.planes[BUF_RED + i], at);
    } else if (buffer == BUF_DEPTH && count == 1) {
        values[0] = read_plane(cursor.planes[BUF_DEPTH], at);
    } else if (within_table(buffer, count)) {
        for (int32_t i = 0; i < count; ++i) values[i] = read_plane(cursor.planes[buffer + i], at);
    } else {
        for (int32_t i = 0; i < count; ++i) values[i] = read_plane(plane_of(int64_t{buffer} + i), at);
    }
}

extern "C" void pixel_set_rgba(const float rgba[4]) noexcept {
    const std::size_t at = cursor.index;
    for (int32_t i = 0; i < 4; ++i) write_plane(cursor.planes[BUF_RED + i], at, rgba[i]);
}

extern "C" void pixel_set_values(int32_t buffer, int32_t count, const float* values) noexcept {
    const std::size_t at = cursor.index;
    if (buffer == BUF_RED && count == 4) {
        pixel_set_rgba(values);
    } else if (buffer == BUF_DEPTH && count == 1) {
        write_plane(cursor.planes[BUF_DEPTH], at, values[0]);
    } else if (within_table(buffer, count)) {
        for (int32_t i = 0; i < count; ++i) write_plane(cursor.planes[buffer + i], at, values[i]);
    } else {
        for (int32_t i = 0; i < count; ++i) write_plane(plane_of(int64_t{buffer} + i), at, values[i]);
    }
}

// The frame's buffers by number; null where the frame holds none.
PlaneTable plane_table(Frame& frame) {
    PlaneTable planes{};
    for (int32_t buffer : Frame::ALL_BUFFERS) {
        if (frame.has(buffer)) planes[buffer] = frame.samples(buffer).data();
    }
    return planes;
}

// Evaluates rows [first_row, end_row) of a frame `width` pixels wide on the
// calling thread.
void evaluate_rows(EvaluateFn evaluate, void* instance, const PlaneTable& planes, int32_t width, int32_t first_row,
                   int32_t end_row) {
    PixelAccess access{};
    access.get_values = pixel_get_values;
    access.set_rgba = pixel_set_rgba;
    access.set_values = pixel_set_values;
    cursor.planes = planes;
    // Counted in a register and stored for each pixel, so that the cursor is
    // never read back after a call.
    std::size_t index = static_cast<std::size_t>(first_row) * static_cast<std::size_t>(width);
    for (int32_t y = first_row; y < end_row; ++y) {
        access.pixel_y = y;
        for (int32_t x = 0; x < width; ++x, ++index) {
            cursor.index = index;
            access.pixel_x = x;
            evaluate(instance, &access);
        }
    }
    cursor.planes = {};
}

// Rows handed to a thread at a time. Threads take bands as they finish the
// last one, so a thread slowed by other work on the machine takes fewer rows
// instead of holding up the frame; one atomic step per band, none per row.
constexpr int32_t ROWS_PER_BAND = 16;

void evaluate_bands(EvaluateFn evaluate, void* instance, const PlaneTable& planes, int32_t width, int32_t rows,
                    std::atomic<int64_t>& next_row) {
    // 64 bits: the counter runs past the last row without wrapping.
    for (int64_t first = next_row.fetch_add(ROWS_PER_BAND); first < rows; first = next_row.fetch_add(ROWS_PER_BAND)) {
        evaluate_rows(evaluate, instance, planes, width, static_cast<int32_t>(first),
                      static_cast<int32_t>(std::min<int64_t>(rows, first + ROWS_PER_BAND)));
    }
}

}  // namespace

PixelFilter::PixelFilter(const Module& module, std::string server_name)
    : module_(module), server_name_(std::move(server_name)) {
    record_ = {&instance_ops_, &item_ops_, &render_ops_, nullptr, nullptr};
    const int32_t result = module_.activate(CLASS_PIXEL_FILTER_HANDLER, server_name_, &record_);
    if (result != ACTIVATE_OK) {
        throw HostError(server_name_ + ": activation failed with result " + std::to_string(result));
    }
    if (record_.evaluate == nullptr || record_.flags == nullptr || render_ops_.init == nullptr ||
        render_ops_.cleanup == nullptr || render_ops_.new_time == nullptr) {
        throw HostError(server_name_ + ": activation left operations unset");
    }
    instance_ = std::make_unique<Instance>(instance_ops_);
}

void PixelFilter::options() {
    InterfaceRecord ui{};
    ui.instance = instance_->get();
    const int32_t result = module_.activate(CLASS_PIXEL_FILTER_INTERFACE, server_name_, &ui);
    if (result != ACTIVATE_OK || ui.options == nullptr) {
        throw HostError(server_name_ + ": interface activation failed with result " + std::to_string(result));
    }
    check_error_text(call_module(ui.options, ui.instance));
}

void PixelFilter::init() { check_error_text(call_module(render_ops_.init, instance_->get(), 0)); }

void PixelFilter::new_time(int32_t frame, double time) {
    check_error_text(call_module(render_ops_.new_time, instance_->get(), frame, time));
}

void PixelFilter::cleanup() { render_ops_.cleanup(instance_->get()); }

void evaluate_pixels(Frame& frame, EvaluateFn evaluate, void* instance, int threads) {
    const int32_t rows = frame.height();
    const int32_t width = frame.width();
    if (rows == 0 || width == 0) return;
    const PlaneTable planes = plane_table(frame);
    const int bands = static_cast<int>((int64_t{rows} + ROWS_PER_BAND - 1) / ROWS_PER_BAND);
    const int workers_wanted = std::clamp(threads, 1, bands);
    std::atomic<int64_t> next_row{0};
    std::vector<std::jthread> workers;
    workers.reserve(static_cast<std::size_t>(workers_wanted - 1));
    for (int worker = 1; worker < workers_wanted; ++worker) {
        workers.emplace_back(evaluate_bands, evaluate, instance, std::cref(planes), width, rows, std::ref(next_row));
    }
    evaluate_bands(evaluate, instance, planes, width, rows, next_row);
}

void PixelFilter::evaluate(Frame& frame, int threads) const {
    evaluate_pixels(frame, record_.evaluate, instance_->get(), threads);
}

RenderPass::RenderPass(PixelFilter& filter) : filter_(filter) { filter_.init(); }

RenderPass::~RenderPass() { filter_.cleanup(); }

void RenderPass::filter_frame(Frame& frame, double time, int threads) {
    filter_.new_time(frame.number(), time);
    filter_.evaluate(frame, threads);
}

}  // namespace host
