// Frame sequence patterns, frame ranges and sizes.
#include <gtest/gtest.h>

#include "zhost/sequences/sequence.h"
#include "zhost/text/error.h"

using zhost::FramePattern;
using zhost::FrameRange;

TEST(FramePattern, FormatsTheFrameNumberInThePlaceholder) {
    struct Case { const char* pattern; int32_t frame; const char* path; };
    const Case cases[] = {
        {"render.####.exr", 7, "render.0007.exr"},
        {"render.####.exr", 12345, "render.12345.exr"},
        {"z#.exr", 3, "z0003.exr"},  // one '#' is four digits, as oiiotool reads it
        {"z##.exr", 3, "z03.exr"},
        {"z###.exr", 3, "z003.exr"},
        {"z@.exr", 3, "z3.exr"},
        {"z@@@.exr", 3, "z003.exr"},
        {"render.%04d.exr", 42, "render.0042.exr"},
        {"render.%d.exr", 42, "render.42.exr"},
        {"render.%3d.exr", 42, "render. 42.exr"},
        {"100%%/f%04d.exr", 1, "100%/f0001.exr"},
        {"dir#1/f.exr", 5, "dir00051/f.exr"},
        {"####", 9, "0009"},
        // Negative frames keep their digits, the sign in front, in every
        // zero-padded form: the depth saver names frame -7 "base-0007.zb".
        {"render.####.exr", -7, "render.-0007.exr"},
        {"render.#.exr", -7, "render.-0007.exr"},
        {"render.%04d.exr", -7, "render.-0007.exr"},
        {"render.@@.exr", -7, "render.-07.exr"},
        {"render.@.exr", -17, "render.-17.exr"},
        {"render.%d.exr", -7, "render.-7.exr"},
        {"render.####.exr", -2147483647 - 1, "render.-2147483648.exr"},
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
    for (const Case& c : cases) {
        if (FramePattern(c.pattern).has_placeholder()) {
            EXPECT_EQ(FramePattern(c.pattern).frame_of(c.path), c.frame) << c.pattern << " frame " << c.frame;
        }
    }
    for (const char* other : {"render.0007.ex", "render.007.exr", "render.+007.exr", "render.00x7.exr", "render..exr"}) {
        EXPECT_FALSE(FramePattern("render.####.exr").frame_of(other)) << other;
    }
}

TEST(FramePattern, RefusesPatternsItCannotFormat) {
    struct Case { const char* pattern; const char* reason; };
    const Case cases[] = {
        {"a#b#.exr", "more than one"},
        {"a#b@.exr", "more than one"},
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

TEST(FrameRange, ParsesRangesStepsAndLists) {
    struct Case { const char* text; int32_t first, last; int64_t count; std::vector<int32_t> some; const char* back; };
    const Case cases[] = {
        {"1-24", 1, 24, 24, {}, "1-24"},
        {"7", 7, 7, 1, {7}, "7"},
        {"5-5", 5, 5, 1, {5}, "5"},
        {"-3-2", -3, 2, 6, {-3, -2, -1, 0, 1, 2}, "-3-2"},
        {"-5--2", -5, -2, 4, {-5, -4, -3, -2}, "-5--2"},
        {"0-99999", 0, 99999, 100000, {}, "0-99999"},
        {"1-10x3", 1, 10, 4, {1, 4, 7, 10}, "1,4,7,10"},
        {"1-9x4", 1, 9, 3, {1, 5, 9}, "1,5,9"},
        {"1-8x4", 1, 5, 2, {1, 5}, "1,5"},
        {"-6--1x2", -6, -2, 3, {-6, -4, -2}, "-6,-4,-2"},
        {"1,3,5-9", 1, 9, 7, {1, 3, 5, 6, 7, 8, 9}, "1,3,5-9"},
        {"10,2", 10, 2, 2, {10, 2}, "10,2"},
        {"1-3,-1", 1, -1, 4, {1, 2, 3, -1}, "1-3,-1"},
        {"2147483600-2147483647", 2147483600, 2147483647, 48, {}, "2147483600-2147483647"},
        {"-2147483648--2147483600", -2147483647 - 1, -2147483600, 49, {}, "-2147483648--2147483600"},
        {"0-2147483647x1000000000", 0, 2000000000, 3, {0, 1000000000, 2000000000}, "0,1000000000,2000000000"},
    };
    for (const Case& c : cases) {
        const FrameRange range = zhost::parse_frame_range(c.text);
        EXPECT_EQ(range.first(), c.first) << c.text;
        EXPECT_EQ(range.last(), c.last) << c.text;
        EXPECT_EQ(range.count(), c.count) << c.text;
        if (!c.some.empty()) {
            EXPECT_EQ(range.frames, c.some) << c.text;
        }
        EXPECT_EQ(range.text(), c.back) << c.text;
    }
}

TEST(FrameRange, RefusesMalformedReversedAndHugeRanges) {
    struct Case { const char* text; const char* reason; };
    const Case cases[] = {
        {"", "empty"},
        {"-", "not of the form"},
        {"1,", "not of the form"},
        {",1", "not of the form"},
        {"1,,2", "not of the form"},
        {"1-5x", "not of the form"},
        {"1x2", "not of the form"},
        {"1-5x-1", "not of the form"},
        {"1-5x2x2", "not of the form"},
        {"1-5x0", "step after 'x' must be 1 or more"},
        {"1-5,3", "lists frame 3 twice"},
        {"0-60000,60001-120000", "at most 100000"},
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
