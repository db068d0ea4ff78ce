// The host's frames: buffers held, rows addressed.
#include <gtest/gtest.h>

#include "host/frame.h"
#include "host/module_host.h"

using host::Frame;

TEST(Frame, LinesAddressRowsOfHeldBuffersOnly) {
    Frame frame(3, 2, 5, std::array<int32_t, 2>{BUF_DEPTH, BUF_RED});
    for (int i = 0; i < 6; ++i) frame.samples(BUF_DEPTH)[i] = float(i);
    EXPECT_EQ(frame.line(BUF_DEPTH, 1)[0], 3.0f);
    EXPECT_EQ(frame.line(BUF_DEPTH, 1) - frame.line(BUF_DEPTH, 0), 3);
    const struct { int32_t buffer, row; } missing[] = {
        {BUF_ALPHA, 0}, {BUF_DEPTH, 2}, {BUF_DEPTH, -1}, {7, 0},
    };
    for (const auto& m : missing) EXPECT_EQ(frame.line(m.buffer, m.row), nullptr) << m.buffer << " " << m.row;
    frame.remove(BUF_RED);
    EXPECT_EQ(frame.line(BUF_RED, 0), nullptr);
    EXPECT_THROW(frame.samples(BUF_RED), host::HostError);
    EXPECT_THROW(frame.add(13), host::HostError);
    EXPECT_THROW(Frame(-1, 2), host::HostError);
    EXPECT_NE(Frame(0, 2).line(BUF_RED, 1), nullptr) << "an empty row is still a row";
}
