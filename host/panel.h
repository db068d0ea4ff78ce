// "LWPanelServices" as a scripted panel: instead of showing a window it
// records what the caller builds (title, controls, their descriptions and
// attribute writes) and plays the user from a script: which image each list
// holds when the panel closes, and whether the user confirms or cancels.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/services.h"
#include "module/host_interface.h"

namespace host {

struct PanelScript {
    bool create_fails = false;               // create_panel yields null
    int add_control_fails_at = 0;            // the Nth add_control of a panel yields null (0: none)
    bool confirm = true;                     // open_panel's answer
    int32_t label_char_width = 8;            // label width per character of the label text
    std::map<std::string, int32_t> label_widths{};   // widths by label, overriding the above
    std::map<std::string, intptr_t> choose_on_open{};  // value a control (by label) holds when the user closes the panel
};

struct AttributeWrite {
    int32_t attribute;
    ControlValue value;
};

struct RecordedPanel;

struct RecordedControl {
    PanelControl record{};       // what add_control returns; host_slot_0 leads back here
    RecordedPanel* panel = nullptr;
    std::string type_name;
    std::string label;
    ControlDesc desc{};          // the description as given
    std::vector<std::string> text_lines;  // copied lines of a text description
    // The caller's description, which a host may read again while the panel
    // is open (a list or a text drawn then), and the text lines it held when
    // the panel opened.
    const ControlDesc* given_desc = nullptr;
    std::vector<std::string> text_lines_at_open;
    intptr_t x = 0;
    intptr_t value = 0;
    std::vector<AttributeWrite> writes;
};

struct RecordedPanel {
    std::string title;
    std::vector<std::unique_ptr<RecordedControl>> controls;
    int add_control_calls = 0;
    int open_count = 0;
    int32_t open_mode = -1;
    int destroy_count = 0;
};

// Offers "LWPanelServices" while it lives (the newest panels answer; the
// ones before take over again when they go); panels stay recorded after they
// are destroyed. `log` lists every call in order, for example
// "create Title", "add LWListControl Z-Buffer", "get 9 Comp Image",
// "set 0 Z-Buffer 55", "open 3", "destroy".
class ScriptedPanels {
public:
    explicit ScriptedPanels(PanelScript script = {});
    ScriptedPanels(const ScriptedPanels&) = delete;
    ScriptedPanels& operator=(const ScriptedPanels&) = delete;

    PanelScript script;
    std::vector<std::unique_ptr<RecordedPanel>> panels;
    std::vector<std::string> log;

    // The width given for a label's ATTR_LABEL_WIDTH.
    int32_t label_width(const std::string& label) const;
    const PanelService& service() const { return service_; }

private:
    PanelService service_;
    ServiceOwner<ScriptedPanels> offer_;
};

}  // namespace host
