// Frame sequence patterns, frame ranges and sizes.
#include <gtest/gtest.h>

#include "zhost/error.h"
#include "zhost/sequence.h"

using zhost::FramePattern;
using zhost::FrameRange;

TEST(FramePattern, FormatsTheFrameNumberInThePlaceholder) {
    struct Case { const char* pattern; int32_t frame; const char* path; };
    const Case cases[] = {
        {"render.####.exr", 7, "render.0007.exr"},
        {"render.####.exr", 12345, "render.12345.exr"},
        {"render.####.exr", -7, "render.-007.exr"},
        {"z#.exr", 3, "z3.exr"},
        {"z##.exr", 3, "z03.exr"},
        {"render.%04d.exr", 42, "render.0042.exr"},
        {"render.%d.exr", 42, "render.42.exr"},
        {"render.%3d.exr", 42, "render. 42.exr"},
        {"100%%/f%04d.exr", 1, "100%/f0001.exr"},
        {"dir#1/f.exr", 5, "dir51/f.exr"},
        {"####", 9, "0009"},
        {"still.exr", 5, "still.exr"},
        {"100%%.exr", 5, "100%.exr"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FramePattern(c.pattern).path(c.frame), c.path) << c.pattern << " frame " << c.frame;
    }
    EXPECT_TRUE(FramePattern("a#.exr").has_placeholder());
    EXPECT_TRUE(FramePattern("a%04d.exr").has_placeholder());
    EXPECT_FALSE(FramePattern("a.exr").has_placeholder());
    EXPECT_FALSE(FramePattern("a%%.exr").has_placeholder());
}

TEST(FramePattern, RefusesPatternsItCannotFormat) {
    struct Case { const char* pattern; const char* reason; };
    const Case cases[] = {
        {"a#b#.exr", "more than one"},
        {"a%04d_%d.exr", "more than one"},
        {"a#%d.exr", "more than one"},
        {"a%s.exr", "only %d"},
        {"a%04x.exr", "only %d"},
        {"a%", "only %d"},
        {"a%-4d", "only %d"},
        {"a%99d.exr", "too large"},
        {"a#################################.exr", "too large"},
    };
    for (const Case& c : cases) {
        try {
            FramePattern pattern(c.pattern);
            ADD_FAILURE() << c.pattern << " was accepted";
        } catch (const zhost::Error& error) {
            EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos) << c.pattern << ": " << error.what();
        }
    }
}

TEST(FrameRange, ParsesRangesAndSingleFrames) {
    struct Case { const char* text; FrameRange range; };
    const Case cases[] = {
        {"1-24", {1, 24}},
        {"7", {7, 7}},
        {"5-5", {5, 5}},
        {"-3-2", {-3, 2}},
        {"-5--2", {-5, -2}},
        {"0-99999", {0, 99999}},
        {"2147483600-2147483647", {2147483600, 2147483647}},
        {"-2147483648--2147483600", {-2147483647 - 1, -2147483600}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(zhost::parse_frame_range(c.text), c.range) << c.text;
    }
    EXPECT_EQ(zhost::parse_frame_range("1-24").count(), 24);
}

TEST(FrameRange, RefusesMalformedReversedAndHugeRanges) {
    struct Case { const char* text; const char* reason; };
    const Case cases[] = {
        {"", "empty"},
        {"-", "not of the form"},
        {"a-b", "not of the form"},
        {"1-", "not of the form"},
        {"1-2-3", "not of the form"},
        {"1 - 5", "not of the form"},
        {"1..5", "not of the form"},
        {"+1-5", "not of the form"},
        {"5-1", "backwards"},
        {"-1--5", "backwards"},
        {"0-100000", "at most 100000"},
        {"-2147483648-2147483647", "at most"},
        {"1-99999999999", "out of range"},
        {"2147483648", "out of range"},
        {"99999999999999999999999-1", "out of range"},
    };
    for (const Case& c : cases) {
        try {
            zhost::parse_frame_range(c.text);
            ADD_FAILURE() << '"' << c.text << "\" was accepted";
        } catch (const zhost::Error& error) {
            EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos) << c.text << ": " << error.what();
        }
    }
}

TEST(Size, ParsesWidthByHeightWithinLimits) {
    const zhost::Size size = zhost::parse_size("640x360");
    EXPECT_EQ(size.width, 640);
    EXPECT_EQ(size.height, 360);
    EXPECT_EQ(zhost::parse_size("1X2", 2).height, 2);
    for (const char* bad : {"", "640", "x360", "640x", "0x10", "10x0", "-5x10", "10x10x10", "1e3x10", "16385x1",
                            "99999999999999999999x1", " 640x360"}) {
        EXPECT_THROW(zhost::parse_size(bad), zhost::Error) << '"' << bad << '"';
    }
}
