// The compositor's panel, through the real module file and the host's
// scripted panels.
#include <gtest/gtest.h>

#include "compositor_fixture.h"
#include "host/panel.h"

namespace {

// An id with every high bit set, so that a value cut to 32 bits shows.
const ImageId WIDE_ID = reinterpret_cast<ImageId>(~uintptr_t{0} << 4);

intptr_t as_value(ImageId image) { return reinterpret_cast<intptr_t>(image); }

class CompositorPanel : public test::CompositorTest {
protected:
    ImageId depth = image("depth.zb");
    ImageId plate = image("plate");

    // The panel operation's error text, or "" after success.
    std::string run_options() {
        try {
            filter.options();
            return "";
        } catch (const host::HostError& error) {
            return error.what();
        }
    }
};

TEST_F(CompositorPanel, BuildsTwoImageListsAndANoteAlignedOnTheWidestLabel) {
    host::ScriptedPanels panels({.confirm = false, .label_widths = {{"Z-Buffer", 60}, {"Comp Image", 75}, {"Note: ", 40}}});
    choose(depth, plate);
    ASSERT_EQ(run_options(), "");
    ASSERT_EQ(panels.panels.size(), 1u);
    const host::RecordedPanel& panel = *panels.panels[0];
    ASSERT_EQ(panel.controls.size(), 3u);
    for (std::size_t i = 0; i < 2; ++i) {
        const ControlDesc& desc = panel.controls[i]->desc;
        EXPECT_EQ(desc.type, DESC_ITEM_LIST);
        EXPECT_EQ(desc.item.global, host::host_global);
        EXPECT_EQ(desc.item.item_kind, ITEM_IMAGE);
        EXPECT_TRUE(desc.item.list == nullptr && desc.item.count == 0 && desc.item.width == 0);
    }
    EXPECT_EQ(panel.controls[2]->desc.type, DESC_TEXT);
    const std::vector<std::string> note = {"Use the Image Editor to load", "both of these."};
    EXPECT_EQ(panel.controls[2]->text_lines, note);
    EXPECT_EQ(panel.controls[2]->text_lines_at_open, note) << "the description lives while the panel is open";
    for (const auto& control : panel.controls) {
        for (const host::AttributeWrite& write : control->writes) {
            EXPECT_EQ(write.value.type, VALUE_INT);
            for (int32_t word : write.value.unused) EXPECT_EQ(word, 0);
        }
    }
    // Every label ends at 115: x = 55, 40, 75.
    const std::vector<std::string> calls = {
        "create Ombrisk's Vantrel V2.0",
        "add LWListControl Z-Buffer", "add LWListControl Comp Image", "add TextControl Note: ",
        "get 9 Comp Image",
        "get 9 Z-Buffer", "set 0 Z-Buffer 55",
        "get 9 Comp Image", "set 0 Comp Image 40",
        "get 9 Note: ", "set 0 Note:  75",
        "set 4 Z-Buffer " + std::to_string(as_value(depth)),
        "set 4 Comp Image " + std::to_string(as_value(plate)),
        "open 3", "destroy",
    };
    EXPECT_EQ(panels.log, calls);
}

TEST_F(CompositorPanel, OnlyAConfirmedPanelStoresWhatTheListsHoldNullIncluded) {
    const struct {
        const char* name;
        bool confirm;
        ImageId depth_before, comp_before;
        std::map<std::string, intptr_t> lists;
        ImageId depth_after, comp_after;
    } cases[] = {
        {"cancelled", false, depth, plate, {{"Z-Buffer", as_value(plate)}, {"Comp Image", 0}}, depth, plate},
        {"fresh, nothing picked", true, nullptr, nullptr, {}, nullptr, nullptr},
        {"fresh, depth picked", true, nullptr, nullptr, {{"Z-Buffer", as_value(depth)}}, depth, nullptr},
        {"composite cleared", true, depth, plate, {{"Comp Image", 0}}, depth, nullptr},
        {"swapped", true, depth, plate, {{"Z-Buffer", as_value(plate)}, {"Comp Image", as_value(depth)}}, plate, depth},
        {"ids travel whole", true, nullptr, nullptr, {{"Comp Image", as_value(WIDE_ID)}}, nullptr, WIDE_ID},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host::ScriptedPanels panels({.confirm = c.confirm, .choose_on_open = c.lists});
        choose(c.depth_before, c.comp_before);
        EXPECT_EQ(run_options(), "");
        EXPECT_EQ(state().depth_image, c.depth_after);
        EXPECT_EQ(state().comp_image, c.comp_after);
        EXPECT_EQ(panels.log.back(), "destroy");
        EXPECT_EQ(panels.panels.at(0)->destroy_count, 1);
    }
}

TEST_F(CompositorPanel, FailuresReturnTheirTextLeaveTheInstanceAndDestroyWhatWasCreated) {
    const char* no_panel = "OBK_ZComp:  Couldn't create the panel.";
    const struct { const char* name; bool offered; host::PanelScript script; const char* error; } cases[] = {
        {"no panel service", false, {}, "OBK_ZComp:  Couldn't get panel functions."},
        {"no panel", true, {.create_fails = true}, no_panel},
        {"first control refused", true, {.add_control_fails_at = 1}, no_panel},
        {"second control refused", true, {.add_control_fails_at = 2}, no_panel},
        {"note refused", true, {.add_control_fails_at = 3}, no_panel},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<host::ScriptedPanels> panels;
        if (c.offered) panels = std::make_unique<host::ScriptedPanels>(c.script);
        choose(depth, plate);
        EXPECT_EQ(run_options(), c.error);
        EXPECT_EQ(state().depth_image, depth);
        EXPECT_EQ(state().comp_image, plate);
        if (!panels) continue;
        for (const auto& panel : panels->panels) {
            EXPECT_EQ(panel->destroy_count, 1);
            EXPECT_EQ(panel->open_count, 0);
        }
    }
}

}  // namespace
