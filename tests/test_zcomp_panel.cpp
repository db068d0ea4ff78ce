// The compositor's panel, through the real module file and the host's
// scripted panels.
#include <gtest/gtest.h>

#include "compositor_fixture.h"
#include "host/panel.h"

namespace {

using test::flat_image;

// An id with every high bit set, so that a value cut to 32 bits shows.
const ImageId WIDE_ID = reinterpret_cast<ImageId>(~uintptr_t{0} << 4);

intptr_t as_value(ImageId image) { return reinterpret_cast<intptr_t>(image); }

class CompositorPanel : public test::CompositorTest {
protected:
    ImageId depth = images.add(flat_image("depth.zb", 4, 4, 1, 0.0f));
    ImageId plate = images.add(flat_image("plate", 4, 4, 3, 0.0f));

    // Runs the panel operation; its error text, or "" after success.
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
    EXPECT_EQ(panel.title, "Ombrisk's Vantrel V2.0");
    EXPECT_EQ(panel.open_mode, PANEL_MODAL);
    EXPECT_EQ(panel.open_count, 1);
    EXPECT_EQ(panel.destroy_count, 1);
    ASSERT_EQ(panel.controls.size(), 3u);

    const struct { const char* type; const char* label; intptr_t x; } expected[] = {
        {"LWListControl", "Z-Buffer", 55}, {"LWListControl", "Comp Image", 40}, {"TextControl", "Note: ", 75},
    };
    for (std::size_t i = 0; i < 3; ++i) {
        const host::RecordedControl& control = *panel.controls[i];
        EXPECT_EQ(control.type_name, expected[i].type);
        EXPECT_EQ(control.label, expected[i].label);
        EXPECT_EQ(control.x, expected[i].x) << control.label << ": every label ends at 115";
        for (const host::AttributeWrite& write : control.writes) {
            EXPECT_EQ(write.value.type, VALUE_INT);
            for (int32_t word : write.value.unused) EXPECT_EQ(word, 0);
        }
    }
    for (std::size_t i = 0; i < 2; ++i) {
        const ControlDesc& desc = panel.controls[i]->desc;
        EXPECT_EQ(desc.type, DESC_ITEM_LIST);
        EXPECT_EQ(desc.item.global, host::host_global);
        EXPECT_EQ(desc.item.item_kind, ITEM_IMAGE);
        EXPECT_EQ(desc.item.list, nullptr);
        EXPECT_EQ(desc.item.count, 0);
        EXPECT_EQ(desc.item.width, 0);
    }
    EXPECT_EQ(panel.controls[2]->desc.type, DESC_TEXT);
    EXPECT_EQ(panel.controls[2]->text_lines, (std::vector<std::string>{"Use the Image Editor to load", "both of these."}));

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

TEST_F(CompositorPanel, CancelKeepsBothImagesWhateverTheListsHold) {
    host::ScriptedPanels panels({.confirm = false, .choose_on_open = {{"Z-Buffer", as_value(plate)}, {"Comp Image", 0}}});
    choose(depth, plate);
    EXPECT_EQ(run_options(), "");
    EXPECT_EQ(state().depth_image, depth);
    EXPECT_EQ(state().comp_image, plate);
    EXPECT_EQ(panels.panels.at(0)->destroy_count, 1);
}

TEST_F(CompositorPanel, ConfirmStoresWhatTheListsHoldNullIncluded) {
    const struct {
        const char* name;
        ImageId depth_before, comp_before;
        std::map<std::string, intptr_t> lists;
        ImageId depth_after, comp_after;
    } cases[] = {
        {"fresh instance, nothing picked", nullptr, nullptr, {}, nullptr, nullptr},
        {"fresh instance, depth picked", nullptr, nullptr, {{"Z-Buffer", as_value(depth)}}, depth, nullptr},
        {"composite image cleared", depth, plate, {{"Comp Image", 0}}, depth, nullptr},
        {"both swapped", depth, plate, {{"Z-Buffer", as_value(plate)}, {"Comp Image", as_value(depth)}}, plate, depth},
        {"ids travel whole", nullptr, nullptr, {{"Comp Image", as_value(WIDE_ID)}}, nullptr, WIDE_ID},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host::ScriptedPanels panels({.confirm = true, .choose_on_open = c.lists});
        choose(c.depth_before, c.comp_before);
        EXPECT_EQ(run_options(), "");
        EXPECT_EQ(state().depth_image, c.depth_after);
        EXPECT_EQ(state().comp_image, c.comp_after);
        const std::vector<std::string> tail(panels.log.end() - 4, panels.log.end());
        EXPECT_EQ(tail, (std::vector<std::string>{"open 3", "get 4 Z-Buffer", "get 4 Comp Image", "destroy"}));
    }
}

TEST_F(CompositorPanel, FailuresReturnTheirTextLeaveTheInstanceAndDestroyWhatWasCreated) {
    const struct {
        const char* name;
        bool offered;
        host::PanelScript script;
        const char* error;
        int destroyed;
    } cases[] = {
        {"no panel service", false, {}, "OBK_ZComp:  Couldn't get panel functions.", 0},
        {"no panel", true, {.create_fails = true}, "OBK_ZComp:  Couldn't create the panel.", 0},
        {"first control refused", true, {.add_control_fails_at = 1}, "OBK_ZComp:  Couldn't create the panel.", 1},
        {"second control refused", true, {.add_control_fails_at = 2}, "OBK_ZComp:  Couldn't create the panel.", 1},
        {"note refused", true, {.add_control_fails_at = 3}, "OBK_ZComp:  Couldn't create the panel.", 1},
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
        EXPECT_EQ(panels->panels.size(), static_cast<std::size_t>(c.destroyed));
        for (const auto& panel : panels->panels) {
            EXPECT_EQ(panel->destroy_count, 1);
            EXPECT_EQ(panel->open_count, 0);
        }
    }
}

}  // namespace
