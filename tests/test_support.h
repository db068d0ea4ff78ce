// Helpers shared by the tests: byte builders, temporary files and the
// module under test.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform_support.h"

namespace test {

using Bytes = std::vector<unsigned char>;

// Builds big-endian file content independently of the module's writer.
class ByteBuilder {
public:
    ByteBuilder& id(const char* four) {
        bytes_.insert(bytes_.end(), four, four + 4);
        return *this;
    }
    ByteBuilder& u32(uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8) bytes_.push_back(uint8_t(value >> shift));
        return *this;
    }
    ByteBuilder& u16(uint16_t value) {
        bytes_.push_back(uint8_t(value >> 8));
        bytes_.push_back(uint8_t(value));
        return *this;
    }
    ByteBuilder& f32(float value) {
        uint32_t bits;
        std::memcpy(&bits, &value, 4);
        return u32(bits);
    }
    ByteBuilder& f64(double value) {
        uint64_t bits;
        std::memcpy(&bits, &value, 8);
        u32(uint32_t(bits >> 32));
        return u32(uint32_t(bits));
    }
    ByteBuilder& zeros(std::size_t count) {
        bytes_.insert(bytes_.end(), count, 0);
        return *this;
    }
    const Bytes& bytes() const { return bytes_; }

private:
    Bytes bytes_;
};

// Header fields of a "ZBUF" chunk payload, with the saver's defaults.
struct HeaderFields {
    uint32_t width = 2;
    uint32_t height = 3;
    uint16_t value_type = 6;
    uint16_t compression = 0;
    uint16_t ordering = 0;
    uint16_t units = 2;
    float min_depth = 1.0f;
    float max_depth = 2.0f;
    float background_depth = 3.0f;
    float scale = 1.0f;
    float offset = 0.0f;
};

// The fields of a W x H file of the given value type, the rest as above.
inline HeaderFields header_fields(uint32_t width, uint32_t height, uint16_t value_type = 6) {
    HeaderFields h;
    h.width = width;
    h.height = height;
    h.value_type = value_type;
    return h;
}

inline ByteBuilder& add_zbuf_chunk(ByteBuilder& b, const HeaderFields& h, uint32_t stored_size = 36) {
    b.id("ZBUF").u32(stored_size).u32(h.width).u32(h.height);
    b.u16(h.value_type).u16(h.compression).u16(h.ordering).u16(h.units);
    return b.f32(h.min_depth).f32(h.max_depth).f32(h.background_depth).f32(h.scale).f32(h.offset);
}

// A whole depth file of W x H 32-bit samples whose values are x + 10 y.
inline Bytes depth_file(const HeaderFields& h = {}) {
    const uint32_t body = h.width * h.height * 4;
    ByteBuilder b;
    b.id("FORM").u32(body + 56).id("ILBM");
    add_zbuf_chunk(b, h).id("ZBOD").u32(body);
    for (uint32_t y = 0; y < h.height; ++y)
        for (uint32_t x = 0; x < h.width; ++x) b.f32(float(x + 10 * y));
    return b.bytes();
}

// A temporary stream holding `bytes`, positioned at its start.
inline std::FILE* stream_of(const Bytes& bytes) {
    std::FILE* stream = std::tmpfile();
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::rewind(stream);
    return stream;
}

inline Bytes read_file(const std::filesystem::path& path) {
    Bytes bytes;
    if (std::FILE* file = open_file(path, "rb")) {
        unsigned char block[4096];
        std::size_t got;
        while ((got = std::fread(block, 1, sizeof block, file)) > 0) bytes.insert(bytes.end(), block, block + got);
        std::fclose(file);
    }
    return bytes;
}

inline void write_file(const std::filesystem::path& path, const Bytes& bytes) {
    std::FILE* file = open_file(path, "wb");
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir() : path_(make_temp_directory()) {}
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

inline const char* module_path() { return OBK_MODULE_PATH; }

// While one lives, every operator new on its thread throws std::bad_alloc
// (the module's own heap is malloc and stays untouched).
class AllocationsThrow {
public:
    AllocationsThrow();
    ~AllocationsThrow();
    AllocationsThrow(const AllocationsThrow&) = delete;
    AllocationsThrow& operator=(const AllocationsThrow&) = delete;
};

}  // namespace test
