#include "host/scene_state.h"

#include <algorithm>
#include <cstring>

#include "host/boundary.h"

namespace host {
namespace {

// Callbacks of the module (boundary.h). A value that cannot be stored or
// read leaves the scene as it was; the failure reaches the caller of save or
// load.
extern "C" void write_u16_values(void* data, const uint16_t* values, int32_t count) noexcept {
    guarded([&] {
        auto& writer = *static_cast<SceneValues*>(data);
        for (int32_t i = 0; i < count; ++i) writer.emplace_back(std::in_place_type<uint16_t>, values[i]);
    });
}

extern "C" void write_text(void* data, const char* text) noexcept {
    guarded([&] { static_cast<SceneValues*>(data)->emplace_back(std::in_place_type<std::string>, text ? text : ""); });
}

extern "C" int32_t read_u16_values(void* data, uint16_t* values, int32_t count) noexcept {
    return guarded(int32_t{0}, [&] {
        auto& reader = *static_cast<SceneReader*>(data);
        for (int32_t i = 0; i < count; ++i) values[i] = reader.read_u16();
        return count > 0 ? count : 0;
    });
}

extern "C" int32_t read_text(void* data, char* buffer, int32_t capacity) noexcept {
    return guarded(int32_t{0}, [&] {
        const std::string text = static_cast<SceneReader*>(data)->read_string();
        if (buffer == nullptr || capacity <= 0) return int32_t{0};
        const std::size_t length = std::min(text.size(), static_cast<std::size_t>(capacity) - 1);
        std::memcpy(buffer, text.data(), length);
        buffer[length] = '\0';
        return static_cast<int32_t>(length);
    });
}

}  // namespace

SceneWriter::SceneWriter(SceneValues& values) : values_(values) {
    state_.host_data = &values_;
    state_.write_u16 = write_u16_values;
    state_.write_string = write_text;
    state_.host_slot_0 = this;
}

SceneWriter& SceneWriter::from(const SaveState* state) {
    return *static_cast<SceneWriter*>(state->host_slot_0);
}

SceneReader::SceneReader(const SceneValues& values) : values_(values) {
    state_.host_data = this;
    state_.read_u16 = read_u16_values;
    state_.read_string = read_text;
    state_.host_slot_0 = this;
}

SceneReader& SceneReader::from(const LoadState* state) {
    return *static_cast<SceneReader*>(state->host_slot_0);
}

const SceneValue* SceneReader::take() {
    return next_ < values_.size() ? &values_[next_++] : nullptr;
}

std::string SceneReader::read_string() {
    const SceneValue* value = take();
    const auto* text = value ? std::get_if<std::string>(value) : nullptr;
    return text ? *text : std::string();
}

uint16_t SceneReader::read_u16() {
    const SceneValue* value = take();
    const auto* number = value ? std::get_if<uint16_t>(value) : nullptr;
    return number ? *number : 0;
}

ImageRef SceneReader::read_image_ref() {
    const SceneValue* value = take();
    const auto* ref = value ? std::get_if<ImageRef>(value) : nullptr;
    return ref ? *ref : ImageRef{};
}

}  // namespace host
