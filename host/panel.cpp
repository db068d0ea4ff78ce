#include "host/panel.h"

#include <string>

#include "host/boundary.h"

namespace host {
namespace {

// Bound on the lines copied from a text description, so that a list without
// its null entry cannot run on for long.
constexpr int MAX_TEXT_LINES = 64;

RecordedPanel& as_panel(void* panel) { return *static_cast<RecordedPanel*>(panel); }

RecordedControl& as_control(PanelControl* control) { return *static_cast<RecordedControl*>(control->host_slot_0); }

// Runs body(panels) with the newest scripted panels, or null, as a callback
// of the module (boundary.h): an exception gives `failure`.
template <typename Result, typename Body>
Result with_panels(Result failure, Body body) noexcept {
    return guarded(failure, [&] { return ServiceOwner<ScriptedPanels>::with_newest(SERVICE_PANELS, body); });
}

template <typename Body>
void with_panels(Body body) noexcept {
    guarded([&] { ServiceOwner<ScriptedPanels>::with_newest(SERVICE_PANELS, body); });
}

void note(ScriptedPanels* panels, std::string entry) {
    if (panels) panels->log.push_back(std::move(entry));
}

std::vector<std::string> copy_lines(const ControlDesc& desc) {
    std::vector<std::string> lines;
    if (desc.type != DESC_TEXT || desc.text.lines == nullptr) return lines;
    for (int i = 0; i < MAX_TEXT_LINES && desc.text.lines[i] != nullptr; ++i) lines.emplace_back(desc.text.lines[i]);
    return lines;
}

extern "C" void* panel_create(const char* title, void*) noexcept {
    return with_panels<void*>(nullptr, [&](ScriptedPanels* active) -> void* {
        note(active, std::string("create ") + (title ? title : ""));
        if (active == nullptr || active->script.create_fails) return nullptr;
        auto panel = std::make_unique<RecordedPanel>();
        panel->title = title ? title : "";
        active->panels.push_back(std::move(panel));
        return active->panels.back().get();
    });
}

extern "C" void panel_destroy(void* panel) noexcept {
    with_panels([&](ScriptedPanels* active) {
        note(active, "destroy");
        ++as_panel(panel).destroy_count;
    });
}

extern "C" void panel_control_get(PanelControl* record, int32_t attribute, ControlValue* value) noexcept {
    with_panels([&](ScriptedPanels* active) {
        RecordedControl& control = as_control(record);
        intptr_t answer = 0;
        if (attribute == ATTR_LABEL_WIDTH && active) answer = active->label_width(control.label);
        if (attribute == ATTR_X) answer = control.x;
        if (attribute == ATTR_VALUE) answer = control.value;
        note(active, "get " + std::to_string(attribute) + " " + control.label);
        value->int_value = answer;
    });
}

extern "C" void panel_control_set(PanelControl* record, int32_t attribute, ControlValue* value) noexcept {
    with_panels([&](ScriptedPanels* active) {
        RecordedControl& control = as_control(record);
        control.writes.push_back({attribute, *value});
        if (attribute == ATTR_X) control.x = value->int_value;
        if (attribute == ATTR_VALUE) control.value = value->int_value;
        note(active, "set " + std::to_string(attribute) + " " + control.label + " " + std::to_string(value->int_value));
    });
}

std::unique_ptr<RecordedControl> make_control(RecordedPanel& panel, std::string type, std::string label,
                                              const ControlDesc* desc) {
    auto control = std::make_unique<RecordedControl>();
    control->record.host_slot_0 = control.get();
    control->record.control_get = panel_control_get;
    control->record.control_set = panel_control_set;
    control->panel = &panel;
    control->type_name = std::move(type);
    control->label = std::move(label);
    if (desc) {
        control->desc = *desc;
        control->text_lines = copy_lines(*desc);
    }
    control->given_desc = desc;
    return control;
}

extern "C" PanelControl* panel_add_control(void* panel_handle, const char* type_name, ControlDesc* desc,
                                           const char* label) noexcept {
    return with_panels<PanelControl*>(nullptr, [&](ScriptedPanels* active) -> PanelControl* {
        RecordedPanel& panel = as_panel(panel_handle);
        const std::string type = type_name ? type_name : "";
        const std::string text = label ? label : "";
        const bool fails = active && ++panel.add_control_calls == active->script.add_control_fails_at;
        note(active, "add " + type + " " + text + (fails ? " failed" : ""));
        if (fails) return nullptr;
        panel.controls.push_back(make_control(panel, type, text, desc));
        return &panel.controls.back()->record;
    });
}

extern "C" int32_t panel_open(void* panel_handle, int32_t mode) noexcept {
    return with_panels(int32_t{0}, [&](ScriptedPanels* active) -> int32_t {
        RecordedPanel& panel = as_panel(panel_handle);
        note(active, "open " + std::to_string(mode));
        ++panel.open_count;
        panel.open_mode = mode;
        for (const auto& control : panel.controls) {
            if (control->given_desc) control->text_lines_at_open = copy_lines(*control->given_desc);
        }
        if (active == nullptr) return 0;
        for (const auto& control : panel.controls) {
            const auto chosen = active->script.choose_on_open.find(control->label);
            if (chosen != active->script.choose_on_open.end()) control->value = chosen->second;
        }
        return active->script.confirm ? 1 : 0;
    });
}

PanelService make_service() {
    PanelService service{};
    service.create_panel = panel_create;
    service.destroy_panel = panel_destroy;
    service.open_panel = panel_open;
    service.add_control = panel_add_control;
    return service;
}

}  // namespace

ScriptedPanels::ScriptedPanels(PanelScript script_)
    : script(std::move(script_)), service_(make_service()), offer_(SERVICE_PANELS, &service_, this) {}

int32_t ScriptedPanels::label_width(const std::string& label) const {
    const auto given = script.label_widths.find(label);
    if (given != script.label_widths.end()) return given->second;
    return static_cast<int32_t>(label.size()) * script.label_char_width;
}

}  // namespace host
