// The module record, its server table and the activations, through the real
// module file loaded by the host.
#include <gtest/gtest.h>

#include <cstring>

#include "host/module_host.h"
#include "host/services.h"
#include "test_support.h"

namespace {

std::unique_ptr<host::Module> load_module() { return host::Module::open(test::module_path()); }

// Fills a record with a recognisable pattern, so that untouched fields show.
template <typename Record>
Record sentinel_filled() {
    Record record;
    std::memset(&record, 0xA5, sizeof record);
    return record;
}

template <typename Record>
bool same_bytes(const Record& a, const Record& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

ImageListService fake_image_list{};

struct HandlerTables {
    InstanceOps instance = sentinel_filled<InstanceOps>();
    ItemOps items = sentinel_filled<ItemOps>();
    RenderOps render = sentinel_filled<RenderOps>();
};

}  // namespace

TEST(ModuleRecord, HoldsTheSyncWordVersionMachineAndFiveServers) {
    const auto module = load_module();
    const ModuleRecord& record = module->record();
    EXPECT_EQ(record.sync, 0x04121994u);
    EXPECT_EQ(record.version, 3u);
    EXPECT_EQ(record.machine, 0x300u);

    const std::vector<std::pair<std::string, std::string>> expected = {
        {"PixelFilterHandler", "OBK_ZComp"}, {"PixelFilterInterface", "OBK_ZComp"},
        {"ImageFilterHandler", "OBK_ZSave"}, {"ImageFilterInterface", "OBK_ZSave"},
        {"ImageLoader", "OBK_ZLoad"},
    };
    for (std::size_t row = 0; row < expected.size(); ++row) {
        const ServerEntry& entry = record.servers[row];
        EXPECT_STREQ(entry.class_name, expected[row].first.c_str()) << "row " << row;
        EXPECT_STREQ(entry.server_name, expected[row].second.c_str()) << "row " << row;
        EXPECT_NE(entry.activate, nullptr) << "row " << row;
        EXPECT_EQ(entry.tag_info, nullptr) << "row " << row;
    }
    const ServerEntry zero{};
    EXPECT_TRUE(same_bytes(record.servers[5], zero)) << "the table ends with an all-zero row";
    EXPECT_EQ(module->servers().size(), 5u);
}

TEST(ModuleRecord, StartupReturnsFourEveryTimeAndShutdownDoesNothing) {
    const auto module = load_module();
    for (int call = 0; call < 3; ++call) EXPECT_EQ(reinterpret_cast<uintptr_t>(module->record().startup()), 4u);
    module->record().shutdown();
    EXPECT_EQ(reinterpret_cast<uintptr_t>(module->record().startup()), 4u);
}

TEST(Activation, WrongVersionsLeaveEveryRecordUntouched) {
    const auto module = load_module();
    host::OfferedService list("LW Image List 3", &fake_image_list);
    for (int32_t version : {3, 5, 0, -4}) {
        HandlerTables tables;
        const HandlerTables before = tables;
        auto pixel = sentinel_filled<PixelHandlerRecord>();
        pixel.instance_ops = &tables.instance;
        pixel.item_ops = &tables.items;
        pixel.render_ops = &tables.render;
        const PixelHandlerRecord pixel_before = pixel;
        EXPECT_EQ(module->activate("PixelFilterHandler", "OBK_ZComp", &pixel, version), ACTIVATE_BAD_VERSION);
        EXPECT_TRUE(same_bytes(pixel, pixel_before));

        auto image = sentinel_filled<ImageHandlerRecord>();
        image.instance_ops = &tables.instance;
        image.item_ops = &tables.items;
        const ImageHandlerRecord image_before = image;
        EXPECT_EQ(module->activate("ImageFilterHandler", "OBK_ZSave", &image, version), ACTIVATE_BAD_VERSION);
        EXPECT_TRUE(same_bytes(image, image_before));
        EXPECT_TRUE(same_bytes(tables.instance, before.instance));
        EXPECT_TRUE(same_bytes(tables.items, before.items));
        EXPECT_TRUE(same_bytes(tables.render, before.render));

        for (const char* server : {"OBK_ZComp", "OBK_ZSave"}) {
            const std::string cls = server == std::string("OBK_ZComp") ? "PixelFilterInterface" : "ImageFilterInterface";
            auto ui = sentinel_filled<InterfaceRecord>();
            const InterfaceRecord ui_before = ui;
            EXPECT_EQ(module->activate(cls, server, &ui, version), ACTIVATE_BAD_VERSION);
            EXPECT_TRUE(same_bytes(ui, ui_before)) << cls;
        }
    }
}

TEST(Activation, CompositorWithoutImageListFailsAndFillsNothing) {
    const auto module = load_module();
    HandlerTables tables;
    const HandlerTables before = tables;
    auto record = sentinel_filled<PixelHandlerRecord>();
    record.instance_ops = &tables.instance;
    record.item_ops = &tables.items;
    record.render_ops = &tables.render;
    const PixelHandlerRecord record_before = record;
    EXPECT_EQ(module->activate("PixelFilterHandler", "OBK_ZComp", &record), ACTIVATE_BAD_GLOBALS);
    EXPECT_TRUE(same_bytes(record, record_before));
    EXPECT_TRUE(same_bytes(tables.instance, before.instance));
    EXPECT_TRUE(same_bytes(tables.render, before.render));
}

TEST(Activation, CompositorFillsInstanceRenderEvaluateAndFlagsButNotItems) {
    const auto module = load_module();
    host::OfferedService list("LW Image List 3", &fake_image_list);
    HandlerTables tables;
    const ItemOps items_before = tables.items;
    PixelHandlerRecord record{&tables.instance, &tables.items, &tables.render, nullptr, nullptr};
    ASSERT_EQ(module->activate("PixelFilterHandler", "OBK_ZComp", &record), ACTIVATE_OK);
    EXPECT_EQ(tables.instance.host, &host::host_global);
    for (const void* slot : {(const void*)tables.instance.create, (const void*)tables.instance.destroy,
                             (const void*)tables.instance.copy, (const void*)tables.instance.load,
                             (const void*)tables.instance.save, (const void*)tables.instance.describe,
                             (const void*)tables.render.init, (const void*)tables.render.cleanup,
                             (const void*)tables.render.new_time, (const void*)record.evaluate,
                             (const void*)record.flags}) {
        EXPECT_NE(slot, nullptr);
        EXPECT_NE(slot, sentinel_filled<void*>());
    }
    EXPECT_TRUE(same_bytes(tables.items, items_before));
    EXPECT_EQ(record.flags(nullptr), 4096u);
    EXPECT_EQ(tables.render.new_time(nullptr, 1, 0.0), nullptr);
}

TEST(Activation, CompositorWithoutRenderTableStillSucceeds) {
    const auto module = load_module();
    host::OfferedService list("LW Image List 3", &fake_image_list);
    InstanceOps instance{};
    PixelHandlerRecord record{&instance, nullptr, nullptr, nullptr, nullptr};
    ASSERT_EQ(module->activate("PixelFilterHandler", "OBK_ZComp", &record), ACTIVATE_OK);
    EXPECT_NE(instance.create, nullptr);
    EXPECT_NE(record.evaluate, nullptr);
    EXPECT_NE(record.flags, nullptr);
    EXPECT_EQ(record.render_ops, nullptr);
}

TEST(Activation, SaverClearsItemSlotsOnlyWhenTheTableIsPresent) {
    const auto module = load_module();
    HandlerTables tables;
    ImageHandlerRecord record{&tables.instance, &tables.items, nullptr, nullptr};
    ASSERT_EQ(module->activate("ImageFilterHandler", "OBK_ZSave", &record), ACTIVATE_OK);
    EXPECT_EQ(tables.items.item_slot_0, nullptr);
    EXPECT_EQ(tables.items.item_slot_1, nullptr);
    EXPECT_EQ(tables.instance.host, &host::host_global);
    EXPECT_NE(tables.instance.create, nullptr);
    EXPECT_NE(tables.instance.describe, nullptr);
    EXPECT_NE(record.process, nullptr);
    EXPECT_EQ(record.flags(nullptr), 4096u);

    InstanceOps instance{};
    ImageHandlerRecord bare{&instance, nullptr, nullptr, nullptr};
    EXPECT_EQ(module->activate("ImageFilterHandler", "OBK_ZSave", &bare), ACTIVATE_OK);
    EXPECT_EQ(bare.item_ops, nullptr);
    EXPECT_NE(bare.process, nullptr);
}

TEST(Activation, InterfacesSetOptionsAndLeaveTheInstanceAlone) {
    const auto module = load_module();
    void* host_instance = reinterpret_cast<void*>(uintptr_t{0x1234});
    for (const auto& [cls, server] : {std::pair{"PixelFilterInterface", "OBK_ZComp"},
                                      std::pair{"ImageFilterInterface", "OBK_ZSave"}}) {
        auto record = sentinel_filled<InterfaceRecord>();
        record.instance = host_instance;
        ASSERT_EQ(module->activate(cls, server, &record), ACTIVATE_OK) << cls;
        EXPECT_EQ(record.instance, host_instance);
        EXPECT_EQ(record.panel, nullptr);
        EXPECT_NE(record.options, nullptr);
        EXPECT_EQ(record.command, nullptr);
    }
}

TEST(ModuleHost, RefusesFilesThatAreNotModules) {
    test::TempDir dir;
    test::write_file(dir / "text.p", {'h', 'e', 'l', 'l', 'o'});
    struct Case { std::string path; const char* reason; } cases[] = {
        {(dir / "missing.p").string(), "no such module file"},
        {dir.path().string(), "not a regular file"},
        {(dir / "text.p").string(), "cannot load module"},
        {OBK_FAKE_NO_DESCRIP, "no _mod_descrip"},
        {OBK_FAKE_BAD_SYNC, "sync word 0x12345678"},
    };
    for (const Case& c : cases) {
        try {
            host::Module::open(c.path);
            ADD_FAILURE() << c.path << " was accepted";
        } catch (const host::HostError& error) {
            EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos) << error.what();
        }
    }
}

TEST(ModuleHost, RefusesToActivateAServerTheModuleDoesNotHave) {
    const auto module = load_module();
    InterfaceRecord record{};
    EXPECT_THROW(module->activate("ImageLoader", "OBK_ZComp", &record), host::HostError);
    EXPECT_EQ(module->find("PixelFilterHandler", "OBK_ZSave"), nullptr);
}

#include "module/memory.h"

TEST(ModuleMemory, FailsExactlyTheChosenAllocation) {
    obk_fail_allocation_after(3);
    void* first = obk_alloc(8);
    void* second = obk_alloc_zeroed(8);
    void* third = obk_alloc(8);
    void* fourth = obk_alloc(8);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(third, nullptr);
    EXPECT_NE(fourth, nullptr);
    obk_free(first);
    obk_free(second);
    obk_free(fourth);
    obk_fail_allocation_after(0);
    void* unlimited = obk_alloc(8);
    EXPECT_NE(unlimited, nullptr);
    obk_free(unlimited);
}
