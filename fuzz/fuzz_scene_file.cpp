// Fuzz target: zhost's scene-file reader on arbitrary file content. A scene
// is either read or refused with zhost::Error; any other exception, crash or
// sanitizer report is a fault. A scene that was read is written back as
// --save-scene writes it, and must read back the same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/scratch_file.h"

#include "zhost/running/scene_file.h"
#include "zhost/text/error.h"

namespace {

void check_written_back(const zhost::SceneFile& scene) {
    static const std::string saved_path = scratch_path() + ".saved.json";
    std::vector<host::SceneValues> settings;
    for (const zhost::FilterSpec& filter : scene.filters) settings.push_back(filter.settings.value_or(host::SceneValues{}));
    zhost::write_scene_file(saved_path, scene, settings);
    const zhost::SceneFile again = zhost::read_scene_file(saved_path);
    std::remove(saved_path.c_str());
    if (again.frames != scene.frames || again.images.size() != scene.images.size() ||
        again.filters.size() != scene.filters.size() || again.output != scene.output) {
        __builtin_trap();
    }
    for (std::size_t i = 0; i < scene.filters.size(); ++i) {
        if (again.filters[i].settings.value_or(host::SceneValues{}) != settings[i]) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!write_scratch(data, size)) return 0;
    zhost::SceneFile scene;
    try {
        scene = zhost::read_scene_file(scratch_path());
    } catch (const zhost::Error&) {
        return 0;  // a refusal, with its one-line reason
    }
    // A scene that was read names at least one frame.
    if (scene.frames.frames.empty()) __builtin_trap();
    check_written_back(scene);  // a refusal of what was written is a fault too
    return 0;
}
