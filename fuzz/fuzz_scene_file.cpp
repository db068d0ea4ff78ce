// Fuzz target: zhost's scene-file reader on arbitrary file content. A scene
// is either read or refused with zhost::Error; any other exception, crash or
// sanitizer report is a fault.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/scratch_file.h"

#include "zhost/error.h"
#include "zhost/scene_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!write_scratch(data, size)) return 0;
    try {
        const zhost::SceneFile scene = zhost::read_scene_file(scratch_path());
        // A scene that was read names at least one frame.
        if (scene.frames.frames.empty()) __builtin_trap();
    } catch (const zhost::Error&) {
        // A refusal, with its one-line reason.
    }
    return 0;
}
