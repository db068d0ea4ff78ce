// Scene files of `zhost render`: JSON naming the frames and their size, the
// render inputs per frame, the images of the image list and the plug-in
// instances (pixel filters, then image filters) with their settings, stored
// as the typed values that each server's save writes:
//
//   {
//     "frames": "1-24", "size": "640x360",
//     "render": {"rgba": "render.####.exr", "depth": "depth.####.exr"},
//     "images": [{"name": "zbuf", "file": "zbuf####.zb"}],
//     "pixel_filters": [{"server": "OBK_ZComp",
//                        "settings": [{"image": "zbuf"}, {"image": "comp"}],
//                        "answers": {"Z-Buffer": "zbuf"}, "confirm": true}],
//     "image_filters": [{"server": "OBK_ZSave", "settings": [{"text": "out/z"}, {"u16": 6}]}],
//     "output": "out.####.exr"
//   }
//
// "depth" defaults to the Z channel of "rgba"; "size", "images", the filter
// lists and "output" may be left out. File names are relative to the scene
// file's folder. The reader is strict: a key it does not know, a value of the
// wrong type or a missing required key is refused with the key's place in the
// file ("scene.json: pixel_filters[0].server: missing"); a key given twice in
// one object and lists and objects nested deeper than MAX_SCENE_NESTING, which
// no scene needs, are refused with the line. The "answers" of a filter are
// scripted answers for its requester or panel (see OptionAnswers), used when
// `zhost render --options SERVER` runs them: each label must name a control.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

#include "host/scene_state.h"
#include "zhost/running/render_session.h"
#include "zhost/sequences/sequence.h"

namespace zhost {

// Lists and objects inside one another; a scene itself needs five.
constexpr int MAX_SCENE_NESTING = 8;

struct SceneImage {
    std::string name;
    std::string file;  // a pattern when it changes per frame
};

struct SceneFile {
    FrameRange frames;
    std::optional<Size> size;
    std::string render_rgba;
    std::string render_depth;  // empty: the Z channel of render_rgba
    std::vector<SceneImage> images;
    std::vector<FilterSpec> filters;  // pixel filters first
    std::string output;
    nlohmann::json document;          // as read, for writing back
};

// Reads and checks a scene file in time linear in its size. Throws
// zhost::Error with one line naming the file and the key at fault (or the
// line, for a JSON syntax error or too deep a nesting).
SceneFile read_scene_file(const std::string& path);

// Typed scene values as JSON ({"text": ...}, {"u16": ...}, {"image": ...})
// and back; `key` names the place for errors.
nlohmann::json settings_to_json(const host::SceneValues& values);
host::SceneValues settings_from_json(const nlohmann::json& json, const std::string& key);

// Writes the scene with each filter's "settings" replaced by `settings`
// (in the order of `scene.filters`), complete or not at all.
void write_scene_file(const std::string& path, const SceneFile& scene,
                      const std::vector<host::SceneValues>& settings);

}  // namespace zhost
