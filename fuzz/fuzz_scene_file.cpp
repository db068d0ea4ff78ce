// Fuzz target: zhost's scene-file reader on arbitrary file content. A scene
// is either read or refused with zhost::Error; any other exception, crash or
// sanitizer report is a fault.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "zhost/error.h"
#include "zhost/scene_file.h"

namespace {

const std::string& scratch_path() {
    static const std::string path = [] {
        std::string pattern = "/tmp/fuzz-scene-XXXXXX";
        const int fd = ::mkstemp(pattern.data());
        if (fd < 0) std::abort();
        ::close(fd);
        std::atexit([] { std::remove(scratch_path().c_str()); });
        return pattern;
    }();
    return path;
}

bool write_scratch(const uint8_t* data, size_t size) {
    std::FILE* file = std::fopen(scratch_path().c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!write_scratch(data, size)) return 0;
    try {
        const zhost::SceneFile scene = zhost::read_scene_file(scratch_path());
        // A scene that was read names a range of frames in order.
        if (scene.frames.last < scene.frames.first) __builtin_trap();
    } catch (const zhost::Error&) {
        // A refusal, with its one-line reason.
    }
    return 0;
}
