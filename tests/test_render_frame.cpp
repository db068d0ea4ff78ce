// Render frames: checked sizes, pixels and buffers; copies with their own planes.
#include <gtest/gtest.h>

#include "host/module_host.h"
#include "host/render_frame.h"

TEST(RenderFrame, RefusesBadSizesPixelsAndBuffers) {
    for (const auto& [width, height] : {std::pair{0, 4}, std::pair{4, 0}, std::pair{-1, 4}}) {
        EXPECT_THROW(host::RenderFrame(width, height), host::HostError) << width << " x " << height;
    }
    host::RenderFrame frame(3, 2);
    EXPECT_THROW(frame.at(BUF_RED, 3, 0), host::HostError);
    EXPECT_THROW(frame.at(BUF_RED, 0, -1), host::HostError);
    EXPECT_THROW(frame.plane(11), host::HostError);
    EXPECT_EQ(frame.plane_table()[11], nullptr);
}

TEST(RenderFrame, CopiesOwnTheirPlanes) {
    host::RenderFrame frame(3, 2);
    frame.at(BUF_DEPTH, 2, 1) = 4.0f;
    host::RenderFrame copy = frame;
    copy.plane_table()[BUF_DEPTH][5] = 5.0f;
    EXPECT_EQ(frame.at(BUF_DEPTH, 2, 1), 4.0f);
    EXPECT_EQ(copy.at(BUF_DEPTH, 2, 1), 5.0f);
    host::RenderFrame assigned(1, 1);
    assigned = copy;
    assigned.plane_table()[BUF_RED][0] = 1.0f;
    EXPECT_EQ(assigned.at(BUF_RED, 0, 0), 1.0f);
    EXPECT_EQ(copy.at(BUF_RED, 0, 0), 0.0f);
    EXPECT_EQ(assigned.at(BUF_DEPTH, 2, 1), 5.0f);
}
