// The host's services by name and the owners that answer them: the message
// log and the scripted file requester.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>

#include "host/file_requester.h"
#include "host/filter_session.h"
#include "host/messages.h"
#include "host/services.h"

TEST(HostGlobal, AnswersOfferedServicesByNameAndNullOtherwise) {
    int service = 0;
    int replacement = 0;
    EXPECT_EQ(host::host_global("Test Service", 0), nullptr);
    {
        host::OfferedService offered("Test Service", &service);
        EXPECT_EQ(host::host_global("Test Service", 0), &service);
        {
            host::OfferedService over("Test Service", &replacement);
            EXPECT_EQ(host::host_global("Test Service", 0), &replacement);
        }
        EXPECT_EQ(host::host_global("Test Service", 0), &service);
        EXPECT_EQ(host::host_global("test service", 0), nullptr);
        EXPECT_EQ(host::host_global(nullptr, 0), nullptr);
    }
    EXPECT_EQ(host::host_global("Test Service", 0), nullptr);
}

TEST(ServiceOwners, ThePlainOfferOfANameDoesNotHideItsNewestOwner) {
    host::MessageLog log;
    const auto* service = static_cast<const MessageService*>(host::host_global("Info Messages 2", 0));
    const MessageService other{};
    {
        host::OfferedService over("Info Messages 2", const_cast<MessageService*>(&other));
        EXPECT_EQ(host::host_global("Info Messages 2", 0), &other);
        service->show_error("kept", nullptr);
    }
    EXPECT_EQ(log.messages(), (std::vector<host::Message>{{"kept", std::nullopt}}));
}

TEST(ServiceOwnersDeathTest, EndingAnOwnerBeforeANewerOneStopsTheProgram) {
    const std::function<void()> out_of_order[] = {
        [] {
            auto outer = std::make_unique<host::MessageLog>();
            host::MessageLog inner;
            outer.reset();
        },
        [] {
            int first = 0, second = 0;
            auto outer = std::make_unique<host::OfferedService>("Test Service", &first);
            host::OfferedService inner("Test Service", &second);
            outer.reset();
        },
        [] {
            const host::Frame input(1, 1);
            host::Frame output(1, 1), inner_output(1, 1);
            auto outer = std::make_unique<host::FilterSession>(input, output);
            host::FilterSession inner(input, inner_output);
            outer.reset();
        },
    };
    for (const auto& end : out_of_order) EXPECT_DEATH(end(), "ended before one made after it");
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
