// Scene state: the ordered, typed values that plug-in instances write through
// SaveState and read back through LoadState. The host stores them in its
// scene files.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "module/host_interface.h"

namespace host {

// A reference to an image of the host's image list, by name; an empty name
// stands for no image.
struct ImageRef {
    std::string name;
    bool operator==(const ImageRef&) const = default;
};

using SceneValue = std::variant<std::string, uint16_t, ImageRef>;
using SceneValues = std::vector<SceneValue>;

// Appends what an instance's save writes to `values`.
class SceneWriter {
public:
    explicit SceneWriter(SceneValues& values);
    SceneWriter(const SceneWriter&) = delete;
    SceneWriter& operator=(const SceneWriter&) = delete;

    const SaveState* state() const { return &state_; }
    void write_image_ref(std::string name) { values_.emplace_back(std::in_place_type<ImageRef>, ImageRef{std::move(name)}); }

    // The writer behind a SaveState made by this class.
    static SceneWriter& from(const SaveState* state);

private:
    SceneValues& values_;
    SaveState state_{};
};

// Hands stored values to an instance's load, in order. A value of another
// type than the one asked for, or a read past the end, yields an empty value
// (empty text, 0, no image) and still counts as read.
class SceneReader {
public:
    explicit SceneReader(const SceneValues& values);
    SceneReader(const SceneReader&) = delete;
    SceneReader& operator=(const SceneReader&) = delete;

    const LoadState* state() const { return &state_; }
    std::string read_string();
    uint16_t read_u16();
    ImageRef read_image_ref();
    std::size_t position() const { return next_; }

    // The reader behind a LoadState made by this class.
    static SceneReader& from(const LoadState* state);

private:
    const SceneValue* take();

    const SceneValues& values_;
    std::size_t next_ = 0;
    LoadState state_{};
};

}  // namespace host
