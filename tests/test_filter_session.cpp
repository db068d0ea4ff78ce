// The filter access of one process call: the output it writes, the lines it
// hands out, and sessions nested on one thread.
#include <gtest/gtest.h>

#include <stdexcept>

#include "host/filter_session.h"
#include "host/module_host.h"

using host::Frame;

TEST(FilterSession, WritesTheOutputAndIgnoresPixelsOffTheFrame) {
    const Frame input(2, 2, 9);
    Frame output(2, 2, 0, {});
    host::FilterSession session(input, output);
    const FilterAccess& access = *session.access();
    EXPECT_EQ(access.width, 2);
    EXPECT_EQ(access.height, 2);
    EXPECT_EQ(access.frame, 9);
    const float rgb[3] = {1, 2, 3};
    access.set_rgb(1, 1, rgb);
    access.set_alpha(0, 1, 0.5f);
    for (auto [x, y] : {std::pair{2, 0}, {0, 2}, {-1, 0}, {0, -1}}) {
        access.set_rgb(x, y, rgb);
        access.set_alpha(x, y, 1);
    }
    EXPECT_EQ(output.samples(BUF_RED)[3], 1.0f);
    EXPECT_EQ(output.samples(BUF_BLUE)[3], 3.0f);
    EXPECT_EQ(output.samples(BUF_ALPHA)[2], 0.5f);
    EXPECT_EQ(session.counts().rgb_set + session.counts().alpha_set, 2u);
    EXPECT_EQ(session.counts().outside_frame, 8u);

    Frame wrong(3, 2, 0, {});
    EXPECT_THROW(host::FilterSession(input, wrong), host::HostError);
}

TEST(FilterSession, InnerSessionServesItsThreadUntilItEnds) {
    Frame outer_input(1, 1), outer_output(1, 1), inner_input(1, 1), inner_output(1, 1);
    outer_input.samples(BUF_DEPTH)[0] = 1;
    inner_input.samples(BUF_DEPTH)[0] = 2;
    host::FilterSession outer(outer_input, outer_output);
    const auto get_line = outer.access()->get_line;
    {
        host::FilterSession inner(inner_input, inner_output);
        EXPECT_EQ(get_line(BUF_DEPTH, 0)[0], 2.0f);
    }
    EXPECT_EQ(get_line(BUF_DEPTH, 0)[0], 1.0f);
}

TEST(FilterSession, LineFilterWithholdsLinesAndItsErrorsWaitForTheHost) {
    const Frame input(1, 3);
    Frame output(1, 3);
    host::FilterSession session(input, output, [](int32_t buffer, int32_t row) {
        if (row == 2) throw std::runtime_error("no row 2");
        return buffer != BUF_ALPHA;
    });
    const auto get_line = session.access()->get_line;
    EXPECT_NE(get_line(BUF_RED, 0), nullptr);
    EXPECT_EQ(get_line(BUF_ALPHA, 0), nullptr);
    EXPECT_EQ(get_line(BUF_RED, 2), nullptr);
    EXPECT_EQ(get_line(BUF_RED, 1), nullptr) << "after a failure every line is withheld";
    EXPECT_EQ(session.counts().lines_given, 1u);
    EXPECT_EQ(session.counts().lines_withheld, 3u);
    EXPECT_THROW(session.rethrow_failure(), std::runtime_error);
}
