#include "zhost/scene_file.h"

#include <fstream>
#include <limits>
#include <sstream>

#include "zhost/error.h"
#include "zhost/image_io.h"

namespace zhost {
namespace {

using nlohmann::json;

constexpr const char* FILTER_LISTS[] = {"pixel_filters", "image_filters"};

class SceneReader {
public:
    explicit SceneReader(std::string path) : path_(std::move(path)) {}

    [[noreturn]] void fail(const std::string& key, const std::string& what) const {
        throw Error(path_ + ": key \"" + key + "\": " + what);
    }

    const json* find(const json& object, const std::string& name) const {
        const auto found = object.find(name);
        return found == object.end() ? nullptr : &*found;
    }

    std::string text(const json& object, const std::string& name, const std::string& key, bool required) const {
        const json* value = find(object, name);
        if (value == nullptr) {
            if (required) fail(key, "missing");
            return {};
        }
        if (!value->is_string() || value->get_ref<const std::string&>().empty()) fail(key, "expected a non-empty text");
        return value->get<std::string>();
    }

    const json& object(const json& parent, const std::string& name, const std::string& key) const {
        const json* value = find(parent, name);
        if (value == nullptr) fail(key, "missing");
        if (!value->is_object()) fail(key, "expected an object");
        return *value;
    }

    const json* array(const json& parent, const std::string& name) const {
        const json* value = find(parent, name);
        if (value != nullptr && !value->is_array()) fail(name, "expected a list");
        return value;
    }

    template <typename Parse>
    auto parsed(const std::string& key, const std::string& text, Parse parse) const {
        try {
            return parse(text);
        } catch (const Error& error) {
            fail(key, error.what());
        }
    }

    std::vector<SceneImage> images(const json& root) const {
        std::vector<SceneImage> images;
        const json* list = array(root, "images");
        if (list == nullptr) return images;
        for (std::size_t i = 0; i < list->size(); ++i) {
            const std::string key = "images[" + std::to_string(i) + "]";
            const json& entry = (*list)[i];
            if (!entry.is_object()) fail(key, "expected an object");
            SceneImage image{text(entry, "name", key + ".name", true), text(entry, "file", key + ".file", true)};
            for (const SceneImage& other : images) {
                if (other.name == image.name) fail(key + ".name", "image \"" + image.name + "\" named twice");
            }
            parsed(key + ".file", image.file, [](const std::string& t) { return FramePattern(t); });
            images.push_back(std::move(image));
        }
        return images;
    }

    FilterSpec filter(const json& entry, FilterKind kind, const std::string& key) const {
        if (!entry.is_object()) fail(key, "expected an object");
        FilterSpec spec;
        spec.kind = kind;
        spec.server = text(entry, "server", key + ".server", true);
        if (const json* settings = find(entry, "settings")) {
            spec.settings = settings_from_json(*settings, path_ + ": key \"" + key + ".settings\"");
        }
        if (const json* answers = find(entry, "answers")) {
            if (!answers->is_object()) fail(key + ".answers", "expected an object of texts");
            for (const auto& [label, value] : answers->items()) {
                if (!value.is_string()) fail(key + ".answers." + label, "expected a text");
                spec.answers.values[label] = value.get<std::string>();
            }
        }
        if (const json* confirm = find(entry, "confirm")) {
            if (!confirm->is_boolean()) fail(key + ".confirm", "expected true or false");
            spec.answers.confirm = confirm->get<bool>();
        }
        return spec;
    }

    std::vector<FilterSpec> filters(const json& root) const {
        std::vector<FilterSpec> filters;
        for (const char* list_name : FILTER_LISTS) {
            const json* list = array(root, list_name);
            if (list == nullptr) continue;
            const FilterKind kind = std::string(list_name) == "pixel_filters" ? FilterKind::PIXEL : FilterKind::IMAGE;
            for (std::size_t i = 0; i < list->size(); ++i) {
                filters.push_back(filter((*list)[i], kind, std::string(list_name) + "[" + std::to_string(i) + "]"));
            }
        }
        return filters;
    }

private:
    std::string path_;
};

json parse_document(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error(path + ": cannot open the scene file");
    try {
        return json::parse(in);
    } catch (const json::exception& error) {
        // "[json.exception.parse_error.101] parse error at line 3, column 5: ..." without the tag;
        // a number beyond a double's range comes as another kind of error, with its own tag.
        std::string what = error.what();
        const std::size_t tag_end = what.find("] ");
        throw Error(path + ": " + (tag_end == std::string::npos ? what : what.substr(tag_end + 2)));
    }
}

}  // namespace

json settings_to_json(const host::SceneValues& values) {
    json list = json::array();
    for (const host::SceneValue& value : values) {
        if (const auto* text = std::get_if<std::string>(&value)) {
            list.push_back({{"text", *text}});
        } else if (const auto* number = std::get_if<uint16_t>(&value)) {
            list.push_back({{"u16", *number}});
        } else {
            list.push_back({{"image", std::get<host::ImageRef>(value).name}});
        }
    }
    return list;
}

host::SceneValues settings_from_json(const json& list, const std::string& key) {
    if (!list.is_array()) throw Error(key + ": expected a list of settings");
    host::SceneValues values;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const json& entry = list[i];
        const std::string at = key + "[" + std::to_string(i) + "]";
        if (!entry.is_object() || entry.size() != 1) {
            throw Error(at + ": expected one of {\"text\": ...}, {\"u16\": ...}, {\"image\": ...}");
        }
        const std::string type = entry.begin().key();
        const json& value = entry.begin().value();
        if (type == "text" && value.is_string()) {
            values.emplace_back(value.get<std::string>());
        } else if (type == "u16" && value.is_number_unsigned() && value.get<uint64_t>() <= 65535) {
            values.emplace_back(uint16_t(value.get<uint64_t>()));
        } else if (type == "image" && value.is_string()) {
            values.emplace_back(host::ImageRef{value.get<std::string>()});
        } else {
            throw Error(at + ": \"" + type + "\" with a value of the wrong kind or range");
        }
    }
    return values;
}

SceneFile read_scene_file(const std::string& path) {
    SceneFile scene;
    scene.document = parse_document(path);
    const SceneReader reader(path);
    const json& root = scene.document;
    if (!root.is_object()) throw Error(path + ": a scene file holds one JSON object");
    scene.frames = reader.parsed("frames", reader.text(root, "frames", "frames", true), parse_frame_range);
    const std::string size = reader.text(root, "size", "size", false);
    if (!size.empty()) scene.size = reader.parsed("size", size, [](const std::string& t) { return parse_size(t); });
    const json& render = reader.object(root, "render", "render");
    scene.render_rgba = reader.text(render, "rgba", "render.rgba", true);
    scene.render_depth = reader.text(render, "depth", "render.depth", false);
    for (const auto& [key, text] : {std::pair{"render.rgba", scene.render_rgba}, {"render.depth", scene.render_depth}}) {
        if (!text.empty()) reader.parsed(key, text, [](const std::string& t) { return FramePattern(t); });
    }
    scene.images = reader.images(root);
    scene.filters = reader.filters(root);
    scene.output = reader.text(root, "output", "output", false);
    if (!scene.output.empty()) reader.parsed("output", scene.output, [](const std::string& t) { return FramePattern(t); });
    return scene;
}

void write_scene_file(const std::string& path, const SceneFile& scene, const std::vector<host::SceneValues>& settings) {
    json document = scene.document;
    std::size_t next = 0;
    for (const char* list_name : FILTER_LISTS) {
        if (!document.contains(list_name)) continue;
        for (json& entry : document[list_name]) entry["settings"] = settings_to_json(settings.at(next++));
    }
    PendingFile file(path);
    {
        std::ofstream out(file.temporary(), std::ios::binary);
        out << document.dump(2) << '\n';
        out.close();
        if (!out) throw Error(path + ": cannot write the scene file");
    }
    file.commit();
}

}  // namespace zhost
