// The host's pixel filtering: every pixel once, with its position and its
// own buffers, on any number of threads; render operations in order; error
// texts stop the render. Runs the probe filter of tests/fake_modules.
#include <gtest/gtest.h>

#include <cstring>

#include "host/pixel_filter.h"
#include "host/services.h"
#include "tests/fake_modules/pixel_probe.h"

namespace {

class PixelFiltering : public ::testing::Test {
protected:
    std::unique_ptr<host::Module> module = host::Module::open(OBK_FAKE_PIXEL_PROBE);
    ProbeScript script{};
    host::OfferedService offer{"Pixel Probe Script", &script};
    host::PixelFilter filter{*module, "Probe"};

    std::vector<int32_t> events() const { return {script.events, script.events + script.event_count}; }
};

// A frame whose alpha and depth hold a start value per pixel.
host::RenderFrame numbered_frame(int32_t width, int32_t height) {
    host::RenderFrame frame(width, height);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            frame.at(BUF_ALPHA, x, y) = float(x * 100 + y);
            frame.at(BUF_DEPTH, x, y) = float(x * 100 + y) + 0.5f;
        }
    return frame;
}

TEST_F(PixelFiltering, EveryPixelIsEvaluatedOnceWithItsPositionOnAnyThreadCount) {
    for (const auto& [width, height] : {std::pair{7, 5}, std::pair{1, 1}, std::pair{64, 3}}) {
        for (int threads : {1, 2, 3, 8, 0, -2}) {
            SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height) + ", threads " + std::to_string(threads));
            host::RenderFrame frame = numbered_frame(width, height);
            filter.evaluate(frame, threads);
            int wrong = 0;
            for (int32_t y = 0; y < height; ++y)
                for (int32_t x = 0; x < width; ++x) {
                    const float start = float(x * 100 + y);
                    wrong += frame.at(BUF_RED, x, y) != float(x) || frame.at(BUF_GREEN, x, y) != float(y) ||
                             frame.at(BUF_BLUE, x, y) != 0.0f || frame.at(BUF_ALPHA, x, y) != start + 1.0f ||
                             frame.at(BUF_DEPTH, x, y) != start + 1.5f;
                }
            EXPECT_EQ(wrong, 0) << "pixels with a wrong position, a missing buffer read non-zero, or not visited once";
        }
    }
}

TEST_F(PixelFiltering, RenderCallsInitThenNewTimePerFrameThenCleanup) {
    host::RenderFrame frame = numbered_frame(4, 4);
    {
        host::RenderPass pass(filter);
        for (int32_t number : {1, 2, 3}) pass.filter_frame(frame, number, number / 24.0, 2);
    }
    EXPECT_EQ(events(), (std::vector<int32_t>{PROBE_INIT, 1, 2, 3, PROBE_CLEANUP}));
    EXPECT_EQ(frame.at(BUF_ALPHA, 3, 3), 303.0f + 3.0f) << "three frames evaluated";
}

TEST_F(PixelFiltering, ErrorTextsStopTheRenderWithThatText) {
    script.init_error = "Probe:  not ready";
    try {
        host::RenderPass pass(filter);
        ADD_FAILURE() << "init's error was ignored";
    } catch (const host::HostError& error) {
        EXPECT_STREQ(error.what(), "Probe:  not ready");
    }
    EXPECT_EQ(events(), (std::vector<int32_t>{PROBE_INIT})) << "no cleanup after a failed init";

    script = {};
    script.failing_frame = 2;
    script.new_time_error = "Probe:  frame 2 refused";
    host::RenderFrame frame = numbered_frame(2, 2);
    try {
        host::RenderPass pass(filter);
        for (int32_t number : {1, 2, 3}) pass.filter_frame(frame, number, 0.0, 1);
        ADD_FAILURE() << "new_time's error was ignored";
    } catch (const host::HostError& error) {
        EXPECT_STREQ(error.what(), "Probe:  frame 2 refused");
    }
    EXPECT_EQ(events(), (std::vector<int32_t>{PROBE_INIT, 1, 2, PROBE_CLEANUP}));
    EXPECT_EQ(frame.at(BUF_ALPHA, 1, 1), 101.0f + 1.0f) << "only frame 1 evaluated";
}

TEST(RenderFrame, RefusesBadSizesPixelsAndBuffers) {
    for (const auto& [width, height] : {std::pair{0, 4}, std::pair{4, 0}, std::pair{-1, 4}}) {
        EXPECT_THROW(host::RenderFrame(width, height), host::HostError) << width << " x " << height;
    }
    host::RenderFrame frame(3, 2);
    EXPECT_THROW(frame.at(BUF_RED, 3, 0), host::HostError);
    EXPECT_THROW(frame.at(BUF_RED, 0, -1), host::HostError);
    EXPECT_THROW(frame.plane(11), host::HostError);
    EXPECT_THROW(frame.plane(36), host::HostError);
}

TEST(RenderFrame, CopiesOwnTheirPlanes) {
    host::RenderFrame frame(3, 2);
    frame.at(BUF_DEPTH, 2, 1) = 4.0f;
    host::RenderFrame copy = frame;
    copy.at(BUF_DEPTH, 2, 1) = 5.0f;
    EXPECT_EQ(frame.at(BUF_DEPTH, 2, 1), 4.0f);
    EXPECT_EQ(copy.plane_table()[BUF_DEPTH], copy.plane(BUF_DEPTH));
    EXPECT_EQ(copy.plane_table()[BUF_DEPTH][5], 5.0f);
    host::RenderFrame assigned(1, 1);
    assigned = frame;
    EXPECT_EQ(assigned.plane_table()[BUF_RED], assigned.plane(BUF_RED));
    EXPECT_EQ(assigned.at(BUF_DEPTH, 2, 1), 4.0f);
}

}  // namespace
