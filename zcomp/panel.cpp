// The compositor's panel: two image lists ("Z-Buffer", "Comp Image") and a
// note, shown modally; the instance takes the lists' images only when the
// user confirms.
#include <cstdint>
#include <limits>

#include "zcomp/zcomp.h"

namespace {

const char* const NO_PANEL_FUNCTIONS = "OBK_ZComp:  Couldn't get panel functions.";
const char* const NO_PANEL = "OBK_ZComp:  Couldn't create the panel.";
const char* const PANEL_TITLE = "Ombrisk's Vantrel V2.0";

// Space between the widest label's start and the panel's left edge.
constexpr int64_t LABEL_MARGIN = 40;

enum ControlIndex { DEPTH_LIST, COMP_LIST, NOTE, CONTROL_COUNT };

// Destroys the panel on every path out of the panel operation.
class PanelGuard {
public:
    PanelGuard(const PanelService& service, void* panel) : service_(service), panel_(panel) {}
    ~PanelGuard() { service_.destroy_panel(panel_); }
    PanelGuard(const PanelGuard&) = delete;
    PanelGuard& operator=(const PanelGuard&) = delete;

private:
    const PanelService& service_;
    void* panel_;
};

ControlDesc image_list_desc(HostGlobal global) {
    ControlDesc desc{};
    desc.type = DESC_ITEM_LIST;
    desc.item.global = global;
    desc.item.item_kind = ITEM_IMAGE;
    desc.item.list = nullptr;
    desc.item.count = 0;
    desc.item.width = 0;
    return desc;
}

// Adds the three controls through the one description `desc`, which the
// host may read again as long as the panel exists; false as soon as one
// cannot be added.
bool add_controls(const PanelService& service, void* panel, HostGlobal global, const char* const* note_lines,
                  ControlDesc& desc, PanelControl* (&controls)[CONTROL_COUNT]) {
    desc = image_list_desc(global);
    controls[DEPTH_LIST] = service.add_control(panel, "LWListControl", &desc, "Z-Buffer");
    if (controls[DEPTH_LIST] == nullptr) return false;
    desc = image_list_desc(global);
    controls[COMP_LIST] = service.add_control(panel, "LWListControl", &desc, "Comp Image");
    if (controls[COMP_LIST] == nullptr) return false;
    desc.type = DESC_TEXT;
    desc.text.lines = note_lines;
    controls[NOTE] = service.add_control(panel, "TextControl", &desc, "Note: ");
    return controls[NOTE] != nullptr;
}

int64_t clamp_to_int32(int64_t value) {
    if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    return value;
}

int64_t label_width(PanelControl* control, ControlValue& value) {
    control->control_get(control, ATTR_LABEL_WIDTH, &value);
    return clamp_to_int32(value.int_value);
}

// Ends every label at the column where the "Comp Image" label ends when that
// control stands LABEL_MARGIN from the edge. Widths are clamped to 32 bits so
// that the arithmetic cannot overflow whatever the host reports.
void lay_out(PanelControl* const (&controls)[CONTROL_COUNT], ControlValue& value) {
    const int64_t column = label_width(controls[COMP_LIST], value) + LABEL_MARGIN;
    for (PanelControl* control : controls) {
        const int64_t x = clamp_to_int32(column - label_width(control, value));
        value.int_value = static_cast<intptr_t>(x);
        control->control_set(control, ATTR_X, &value);
    }
}

void show_image(PanelControl* control, ImageId image, ControlValue& value) {
    value.int_value = reinterpret_cast<intptr_t>(image);
    control->control_set(control, ATTR_VALUE, &value);
}

ImageId chosen_image(PanelControl* control, ControlValue& value) {
    control->control_get(control, ATTR_VALUE, &value);
    return reinterpret_cast<ImageId>(value.int_value);
}

}  // namespace

extern "C" const char* zcomp_options(void* instance) {
    ZCompInstance& z = *static_cast<ZCompInstance*>(instance);
    ControlValue value{};
    value.type = VALUE_INT;
    static const char* const note_lines[] = {"Use the Image Editor to load", "both of these.", nullptr};
    // Outlives the panel, which is destroyed on every path out of this call.
    ControlDesc desc{};

    const auto* service = static_cast<const PanelService*>(zcomp_service(z, SERVICE_PANELS));
    if (service == nullptr) return NO_PANEL_FUNCTIONS;
    void* panel = service->create_panel(PANEL_TITLE, nullptr);
    if (panel == nullptr) return NO_PANEL;
    const PanelGuard destroy_on_return(*service, panel);

    PanelControl* controls[CONTROL_COUNT] = {};
    if (!add_controls(*service, panel, z.host_global, note_lines, desc, controls)) return NO_PANEL;
    lay_out(controls, value);
    show_image(controls[DEPTH_LIST], z.depth_image, value);
    show_image(controls[COMP_LIST], z.comp_image, value);
    if (service->open_panel(panel, PANEL_MODAL) != 0) {
        z.depth_image = chosen_image(controls[DEPTH_LIST], value);
        z.comp_image = chosen_image(controls[COMP_LIST], value);
    }
    return nullptr;
}
