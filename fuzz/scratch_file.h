// One scratch file per fuzzing process, rewritten with every input, for
// targets whose code under test reads a file by name.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

inline const std::string& scratch_path() {
    static const std::string path = [] {
        std::string pattern = "/tmp/fuzz-input-XXXXXX";
        const int fd = ::mkstemp(pattern.data());
        if (fd < 0) std::abort();
        ::close(fd);
        std::atexit([] { std::remove(scratch_path().c_str()); });
        return pattern;
    }();
    return path;
}

inline bool write_scratch(const uint8_t* data, size_t size) {
    std::FILE* file = std::fopen(scratch_path().c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}
