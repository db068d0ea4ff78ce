// The host's frames, filter access, message log and scripted file requester.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "host/file_requester.h"
#include "host/frame.h"
#include "host/messages.h"
#include "host/module_host.h"
#include "host/services.h"

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

TEST(MessageLog, KeepsEveryMessageInOrderWithNullApart) {
    host::MessageLog outer;
    const auto* service = static_cast<const MessageService*>(host::host_global("Info Messages 2", 0));
    ASSERT_EQ(service, outer.service());
    {
        host::MessageLog inner;
        service = static_cast<const MessageService*>(host::host_global("Info Messages 2", 0));
        service->show_error("first", nullptr);
        service->show_error("", "");
        service->show_error(nullptr, "second");
        EXPECT_EQ(inner.messages(), (std::vector<host::Message>{
                                        {"first", std::nullopt}, {"", ""}, {std::nullopt, "second"}}));
    }
    service->show_error("after", "x");
    EXPECT_EQ(outer.messages(), (std::vector<host::Message>{{"after", "x"}}));
    outer.clear();
    EXPECT_EQ(outer.size(), 0u);
}

TEST(ScriptedFileRequester, FillsEachBufferWithinItsLength) {
    host::ScriptedFileRequester requester("/renders/shot/depth");
    const auto request_file = reinterpret_cast<FileRequestFn>(host::host_global("File Request 2", 0));
    ASSERT_NE(request_file, nullptr);
    const struct { std::string path; int32_t length; const char *directory, *base, *full; } cases[] = {
        {"/renders/shot/depth", 260, "/renders/shot", "depth", "/renders/shot/depth"},
        {"/renders/shot/depth", 6, "/rend", "depth", "/rend"},
        {"zbuf", 260, "", "zbuf", "zbuf"},
        {"/depth", 1, "", "", ""},
        {"/depth", 0, "#", "#", "#"},
        {"/depth", -5, "#", "#", "#"},
    };
    for (const auto& c : cases) {
        requester.choose(c.path);
        char directory[260], base[260], full[260];
        for (char* buffer : {directory, base, full}) std::strcpy(buffer, "#");
        FileRequest request{FILE_REQUEST_SAVE, 0, "Title", nullptr, directory, base, full, c.length, nullptr};
        EXPECT_EQ(request_file(FILE_REQUEST_VERSION, &request), 1);
        EXPECT_STREQ(directory, c.directory) << c.path << " " << c.length;
        EXPECT_STREQ(base, c.base) << c.path << " " << c.length;
        EXPECT_STREQ(full, c.full) << c.path << " " << c.length;
    }
    FileRequest without_buffers{FILE_REQUEST_SAVE, 0, nullptr, "Depth", nullptr, nullptr, nullptr, 260, nullptr};
    request_file(2, &without_buffers);
    const host::FileRequestRecord last = requester.requests().back();
    EXPECT_EQ(last.version, 2);
    EXPECT_EQ(last.title, std::nullopt);
    EXPECT_EQ(last.file_type, "Depth");
    EXPECT_EQ(last.full_name, std::nullopt);
    EXPECT_EQ(requester.requests().size(), std::size(cases) + 1);
}
