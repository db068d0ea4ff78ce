#include "host/pixel_filter.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <thread>
#include <vector>

namespace host {
namespace {

// Buffer numbers lie below this bound; plane tables are indexed by them.
constexpr int32_t BUFFER_LIMIT = 36;
using PlaneTable = std::array<float*, BUFFER_LIMIT>;

// The pixel that the calling thread is evaluating: the frame's plane table
// and the pixel's offset in every plane. PixelAccess operations carry no
// context, so they find their pixel here. Outside an evaluation the table
// holds no plane: reads give 0 and writes go nowhere.
struct PixelCursor {
    float* const* planes;
    std::size_t index;
};

float* const no_planes[BUFFER_LIMIT] = {};

// Initial-exec: the host library is linked into the program, so the cursor
// is reached without a call.
thread_local PixelCursor cursor __attribute__((tls_model("initial-exec"))) = {no_planes, 0};

float* plane_of(int64_t buffer) {
    return buffer >= 0 && buffer < BUFFER_LIMIT ? cursor.planes[buffer] : nullptr;
}

// A run of buffers that lies within the table, as every run of the
// compositor's calls does, skips the range check per value.
bool within_table(int32_t buffer, int32_t count) {
    return buffer >= 0 && count >= 0 && count <= BUFFER_LIMIT - buffer;
}

[[gnu::always_inline]] inline float read_plane(const float* plane, std::size_t at) { return plane ? plane[at] : 0.0f; }

[[gnu::always_inline]] inline void write_plane(float* plane, std::size_t at, float value) {
    if (plane) plane[at] = value;
}

// Runs of one and of four (a depth, a colour with alpha) are the common
// calls; they get straight-line code instead of a counted loop.
extern "C" void pixel_get_values(int32_t buffer, int32_t count, float* values) {
    const std::size_t at = cursor.index;
    if (within_table(buffer, count)) {
        float* const* planes = cursor.planes + buffer;
        switch (count) {
        case 1:
            values[0] = read_plane(planes[0], at);
            return;
        case 4:
            values[0] = read_plane(planes[0], at);
            values[1] = read_plane(planes[1], at);
            values[2] = read_plane(planes[2], at);
            values[3] = read_plane(planes[3], at);
            return;
        default:
            for (int32_t i = 0; i < count; ++i) values[i] = read_plane(planes[i], at);
            return;
        }
    }
    for (int32_t i = 0; i < count; ++i) values[i] = read_plane(plane_of(int64_t{buffer} + i), at);
}

extern "C" void pixel_set_values(int32_t buffer, int32_t count, const float* values) {
    const std::size_t at = cursor.index;
    if (within_table(buffer, count)) {
        float* const* planes = cursor.planes + buffer;
        switch (count) {
        case 1:
            write_plane(planes[0], at, values[0]);
            return;
        case 4:
            write_plane(planes[0], at, values[0]);
            write_plane(planes[1], at, values[1]);
            write_plane(planes[2], at, values[2]);
            write_plane(planes[3], at, values[3]);
            return;
        default:
            for (int32_t i = 0; i < count; ++i) write_plane(planes[i], at, values[i]);
            return;
        }
    }
    for (int32_t i = 0; i < count; ++i) write_plane(plane_of(int64_t{buffer} + i), at, values[i]);
}

static_assert(BUF_RED >= 0 && BUF_ALPHA == BUF_RED + 3 && BUF_ALPHA < BUFFER_LIMIT);

extern "C" void pixel_set_rgba(const float rgba[4]) {
    const std::size_t at = cursor.index;
    float* const* planes = cursor.planes + BUF_RED;
    write_plane(planes[0], at, rgba[0]);
    write_plane(planes[1], at, rgba[1]);
    write_plane(planes[2], at, rgba[2]);
    write_plane(planes[3], at, rgba[3]);
}

using EvaluateFn = void (*)(void*, const PixelAccess*);

// The frame's buffers by number; null where the frame holds none.
PlaneTable plane_table(Frame& frame) {
    PlaneTable planes{};
    for (int32_t buffer : Frame::ALL_BUFFERS) {
        if (frame.has(buffer)) planes[buffer] = frame.samples(buffer).data();
    }
    return planes;
}

// The frame is walked in order, but one pixel at a time between calls into
// the module, so the processor's own prefetching falls behind over five
// planes. Every PREFETCH_STEP pixels (one cache line of a plane) the host
// asks for the lines PREFETCH_DISTANCE pixels ahead.
constexpr std::size_t PREFETCH_STEP = 16;
constexpr std::size_t PREFETCH_DISTANCE = 512;

void prefetch_ahead(const PlaneTable& planes, std::size_t index, std::size_t end) {
    if (end - index <= PREFETCH_DISTANCE) return;
    for (int32_t buffer : Frame::ALL_BUFFERS) {
        if (const float* plane = planes[buffer]) __builtin_prefetch(plane + index + PREFETCH_DISTANCE, 1);
    }
}

// Evaluates rows [first_row, end_row) of a frame `width` pixels wide on the
// calling thread.
void evaluate_rows(EvaluateFn evaluate, void* instance, const PlaneTable& planes, int32_t width, int32_t first_row,
                   int32_t end_row) {
    PixelAccess access{};
    access.get_values = pixel_get_values;
    access.set_rgba = pixel_set_rgba;
    access.set_values = pixel_set_values;
    cursor.planes = planes.data();
    // Counted in a register and stored for each pixel, so that the cursor is
    // never read back after a call.
    std::size_t index = static_cast<std::size_t>(first_row) * static_cast<std::size_t>(width);
    const std::size_t end = static_cast<std::size_t>(end_row) * static_cast<std::size_t>(width);
    for (int32_t y = first_row; y < end_row; ++y) {
        access.pixel_y = y;
        for (int32_t x = 0; x < width; ++x, ++index) {
            if (index % PREFETCH_STEP == 0) prefetch_ahead(planes, index, end);
            cursor.index = index;
            access.pixel_x = x;
            evaluate(instance, &access);
        }
    }
    cursor.planes = no_planes;
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
    const int32_t result = module_.activate("PixelFilterHandler", server_name_, &record_);
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
    const int32_t result = module_.activate("PixelFilterInterface", server_name_, &ui);
    if (result != ACTIVATE_OK || ui.options == nullptr) {
        throw HostError(server_name_ + ": interface activation failed with result " + std::to_string(result));
    }
    check_error_text(ui.options(ui.instance));
}

void PixelFilter::init() { check_error_text(render_ops_.init(instance_->get(), 0)); }

void PixelFilter::new_time(int32_t frame, double time) {
    check_error_text(render_ops_.new_time(instance_->get(), frame, time));
}

void PixelFilter::cleanup() { render_ops_.cleanup(instance_->get()); }

void PixelFilter::evaluate(Frame& frame, int threads) const {
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
        workers.emplace_back(evaluate_bands, record_.evaluate, instance_->get(), std::cref(planes), width, rows,
                             std::ref(next_row));
    }
    evaluate_bands(record_.evaluate, instance_->get(), planes, width, rows, next_row);
}

RenderPass::RenderPass(PixelFilter& filter) : filter_(filter) { filter_.init(); }

RenderPass::~RenderPass() { filter_.cleanup(); }

void RenderPass::filter_frame(Frame& frame, double time, int threads) {
    filter_.new_time(frame.number(), time);
    filter_.evaluate(frame, threads);
}

}  // namespace host
