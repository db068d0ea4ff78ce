// The host's per-pixel access for pixel filters: every run of buffers, held
// or not, inside the table or not, on one thread or several.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "host/frame.h"
#include "host/pixel_filter.h"

namespace {

constexpr int32_t WIDTH = 5;
constexpr int32_t HEIGHT = 40;  // more than two bands of rows
constexpr float SENTINEL = -7.0f;

// What one pixel read, in call order: six runs of four values each.
using Reads = std::array<std::array<float, 4>, 6>;

struct Probe {
    std::vector<Reads> reads = std::vector<Reads>(std::size_t(WIDTH) * HEIGHT);
    PixelAccess kept{};
};

float start_value(int32_t buffer, std::size_t pixel) { return float(buffer) * 1000.0f + float(pixel); }

// Blue is missing, so the colour run has a gap and writes to it must vanish.
host::Frame probe_frame() {
    const std::array<int32_t, 4> held = {BUF_DEPTH, BUF_RED, BUF_GREEN, BUF_ALPHA};
    host::Frame frame(WIDTH, HEIGHT, 1, held);
    for (int32_t buffer : held) {
        auto samples = frame.samples(buffer);
        for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = start_value(buffer, i);
    }
    return frame;
}

float written(int step, std::size_t pixel) { return float(step) * 0.25f + float(pixel) * 4.0f; }

void probe_pixel(void* instance, const PixelAccess* access) {
    auto& probe = *static_cast<Probe*>(instance);
    const auto pixel = std::size_t(access->pixel_y) * WIDTH + std::size_t(access->pixel_x);
    Reads& reads = probe.reads[pixel];
    for (auto& run : reads) run.fill(SENTINEL);
    access->get_values(BUF_RED, 4, reads[0].data());
    access->get_values(BUF_DEPTH, 1, reads[1].data());
    access->get_values(BUF_RED - 1, 2, reads[2].data());   // within the table, not a common run
    access->get_values(BUF_BLUE, 3, reads[3].data());      // runs past the last buffer number
    access->get_values(-1, 2, reads[4].data());            // starts below the first
    access->get_values(BUF_RED, 0, reads[5].data());
    access->get_values(BUF_RED, -3, reads[5].data());

    const float colour[4] = {written(1, pixel), written(2, pixel), written(3, pixel), written(4, pixel)};
    if (pixel % 2 == 0) {
        access->set_values(BUF_RED, 4, colour);
    } else {
        access->set_rgba(colour);
    }
    const float green = written(5, pixel);
    access->set_values(BUF_GREEN, 1, &green);
    const float alpha_and_beyond[3] = {written(6, pixel), 1e9f, 1e9f};
    access->set_values(BUF_ALPHA, 3, alpha_and_beyond);
    const float depth = written(7, pixel);
    access->set_values(BUF_DEPTH, 1, &depth);
    const float stray[3] = {1e9f, 1e9f, 1e9f};
    access->set_values(-2, 3, stray);
    access->set_values(BUF_RED, 0, stray);
    access->set_values(BUF_RED, -1, stray);
    probe.kept = *access;
}

TEST(PixelAccess, EveryRunReadsHeldBuffersZeroElsewhereAndWritesOnlyHeldBuffers) {
    for (int threads : {1, 3}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        host::Frame frame = probe_frame();
        Probe probe;
        host::evaluate_pixels(frame, probe_pixel, &probe, threads);
        for (std::size_t p = 0; p < probe.reads.size(); ++p) {
            SCOPED_TRACE("pixel " + std::to_string(p));
            const float red = start_value(BUF_RED, p), green = start_value(BUF_GREEN, p);
            const float alpha = start_value(BUF_ALPHA, p), depth = start_value(BUF_DEPTH, p);
            const Reads expected = {{{red, green, 0.0f, alpha},
                                     {depth, SENTINEL, SENTINEL, SENTINEL},
                                     {0.0f, red, SENTINEL, SENTINEL},
                                     {0.0f, alpha, 0.0f, SENTINEL},
                                     {0.0f, 0.0f, SENTINEL, SENTINEL},
                                     {SENTINEL, SENTINEL, SENTINEL, SENTINEL}}};
            EXPECT_EQ(probe.reads[p], expected);
            EXPECT_EQ(frame.samples(BUF_RED)[p], written(1, p));
            EXPECT_EQ(frame.samples(BUF_GREEN)[p], written(5, p));
            EXPECT_EQ(frame.samples(BUF_ALPHA)[p], written(6, p));
            EXPECT_EQ(frame.samples(BUF_DEPTH)[p], written(7, p));
        }
        EXPECT_FALSE(frame.has(BUF_BLUE));
    }
}

TEST(PixelAccess, KeptAndCalledAfterTheEvaluationReadsZeroAndWritesNothing) {
    host::Frame frame = probe_frame();
    Probe probe;
    host::evaluate_pixels(frame, probe_pixel, &probe, 1);
    const host::Frame after = frame;
    float values[4] = {SENTINEL, SENTINEL, SENTINEL, SENTINEL};
    probe.kept.get_values(BUF_RED, 4, values);
    probe.kept.get_values(BUF_DEPTH, 1, values + 3);
    EXPECT_EQ(std::vector<float>(values, values + 4), std::vector<float>(4, 0.0f));
    const float colour[4] = {1e9f, 1e9f, 1e9f, 1e9f};
    probe.kept.set_rgba(colour);
    probe.kept.set_values(BUF_DEPTH, 1, colour);
    probe.kept.set_values(BUF_GREEN, 2, colour);
    for (int32_t buffer : {BUF_DEPTH, BUF_RED, BUF_GREEN, BUF_ALPHA}) {
        EXPECT_TRUE(std::equal(frame.samples(buffer).begin(), frame.samples(buffer).end(),
                               after.samples(buffer).begin()))
            << "buffer " << buffer;
    }
}

}  // namespace
