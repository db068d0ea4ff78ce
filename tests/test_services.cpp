// The host's services by name and the owners that answer them (the message
// log and the scripted file requester), and what becomes of an exception in
// any of the host's callbacks.
#include <gtest/gtest.h>

#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "host/boundary.h"
#include "host/file_requester.h"
#include "host/filter_session.h"
#include "host/image_filter.h"
#include "host/image_list.h"
#include "host/messages.h"
#include "host/panel.h"
#include "host/pixel_filter.h"
#include "host/scene_state.h"
#include "host/services.h"
#include "test_support.h"
#include "zcomp/zcomp.h"
#include "zsave/zsave.h"

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

namespace {

std::string text_or_null(const char* text) { return text ? text : "null"; }

}  // namespace

// The host's callbacks made to fail for real, every allocation of the thread
// throwing: each operation of the module that calls one still returns, no
// exception unwinding through the module, with the callback's failure value;
// the exception waits for the host call that called the module.
TEST(HostCallbacks, AnExceptionBecomesTheCallbacksFailureAndIsRaisedOnceTheModuleReturns) {
    const auto module = host::Module::open(test::module_path());
    host::ImageList images;
    const std::string long_name(100, 'n');  // a copy of it allocates
    const ImageId image = images.add({long_name, 1, 1, 1, {0.5f}});
    host::PixelFilter comp(*module, "OBK_ZComp");
    host::ImageFilter saver(*module, "OBK_ZSave");
    void* comp_instance = comp.instance().get();
    void* saver_instance = saver.instance().get();
    auto& comp_state = *static_cast<ZCompInstance*>(comp_instance);
    auto& saver_state = *static_cast<ZSaveInstance*>(saver_instance);
    comp_state.depth_image = comp_state.comp_image = image;
    InterfaceRecord comp_ui{}, saver_ui{};
    ASSERT_EQ(module->activate("PixelFilterInterface", "OBK_ZComp", &comp_ui), ACTIVATE_OK);
    ASSERT_EQ(module->activate("ImageFilterInterface", "OBK_ZSave", &saver_ui), ACTIVATE_OK);
    InstanceOps saver_ops{};
    ImageHandlerRecord saver_handler{};
    saver_handler.instance_ops = &saver_ops;
    ASSERT_EQ(module->activate("ImageFilterHandler", "OBK_ZSave", &saver_handler), ACTIVATE_OK);

    host::MessageLog log;
    host::ScriptedPanels panels;
    host::ScriptedFileRequester requester("/renders/depth");
    host::SceneValues written;
    const host::SceneWriter writer(written);
    const host::SceneValues saver_scene = {long_name, uint16_t{7}, uint16_t{0}, uint16_t{0}, uint16_t{2}};
    const host::SceneReader saver_reader(saver_scene);
    const host::SceneValues comp_scene = {host::ImageRef{long_name}, host::ImageRef{long_name}};
    const host::SceneReader comp_reader(comp_scene);
    const host::Frame input(1, 1, 1);
    host::Frame output(1, 1, 1, host::Frame::COLOUR_BUFFERS);
    const host::FilterSession session(input, output);
    const char* text = "unset";

    const struct {
        const char* callback;
        std::function<void()> call;  // one operation of the module, run while allocations throw
        std::function<std::string()> outcome;
        std::string expected;
    } cases[] = {
        {"scene writer", [&] { text = saver_ops.save(saver_instance, writer.state()); },
         [&] { return text_or_null(text) + ", " + std::to_string(written.size()) + " values"; }, "null, 0 values"},
        {"scene reader", [&] { text = saver_ops.load(saver_instance, saver_reader.state()); },
         [&] { return text_or_null(text) + ", " + saver_state.full_name + ", " + std::to_string(saver_state.header.value_type); },
         "null, zbuf, 7"},
        {"image list: save_image_ref", [&] { text = comp.instance().ops().save(comp_instance, writer.state()); },
         [&] { return text_or_null(text) + ", " + std::to_string(written.size()) + " values"; }, "null, 0 values"},
        {"image list: load_image_ref", [&] { text = comp.instance().ops().load(comp_instance, comp_reader.state()); },
         [&] { return text_or_null(text) + ", " + (comp_state.depth_image || comp_state.comp_image ? "images" : "none"); },
         "null, none"},
        {"panels", [&] { text = comp_ui.options(comp_instance); },
         [&] { return text_or_null(text) + ", " + std::to_string(panels.panels.size()) + " panels"; },
         "OBK_ZComp:  Couldn't create the panel., 0 panels"},
        {"file requester", [&] { text = saver_ui.options(saver_instance); },
         [&] { return text_or_null(text) + ", " + saver_state.full_name; }, "null, zbuf"},
        {"messages", [&] {
             saver_state.full_name[0] = '\0';
             saver_handler.process(saver_instance, session.access());
         },
         [&] { return std::to_string(log.size()) + " messages"; }, "0 messages"},
    };
    for (const auto& c : cases) {
        EXPECT_NO_THROW({
            const test::AllocationsThrow failing;
            c.call();
        }) << c.callback;
        EXPECT_EQ(c.outcome(), c.expected) << c.callback;
        const std::exception_ptr kept = std::exchange(host::callback_failure(), nullptr);
        EXPECT_TRUE(kept) << c.callback;
        if (kept) {
            EXPECT_THROW(std::rethrow_exception(kept), std::bad_alloc) << c.callback;
        }
    }

    // Through the host's own call: the load runs to its end, then it throws.
    const host::SceneValues scene = {long_name, uint16_t{9}};
    EXPECT_THROW({
        const test::AllocationsThrow failing;
        saver.instance().load(scene);
    }, std::bad_alloc);
    EXPECT_EQ(saver_state.header.value_type, 9);
    EXPECT_FALSE(host::callback_failure());
}
