// The host's frames, message log and scripted file requester.
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
