#include "zhost/running/scene_file.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unordered_set>

#include "zhost/images/image_io.h"
#include "zhost/text/error.h"
#include "zhost/text/suggest.h"

namespace zhost {
namespace {

using nlohmann::json;

constexpr const char* FILTER_LISTS[] = {"pixel_filters", "image_filters"};

// Keys that each object of a scene may hold; any other is refused.
const std::vector<std::string> ROOT_KEYS = {"frames",        "size",          "render", "images",
                                            "pixel_filters", "image_filters", "output"};
const std::vector<std::string> RENDER_KEYS = {"rgba", "depth"};
const std::vector<std::string> IMAGE_KEYS = {"name", "file"};
const std::vector<std::string> FILTER_KEYS = {"server", "settings", "answers", "confirm"};
const std::vector<std::string> SETTING_KEYS = {"text", "u16", "image"};

std::string unknown_key(const std::string& key, const std::vector<std::string>& known) {
    const std::string hint = did_you_mean(key, known);
    return "unknown key" + (hint.empty() ? " (known: " + joined(known) + ")" : hint);
}

class SceneReader {
public:
    explicit SceneReader(std::string path) : path_(std::move(path)) {}

    [[noreturn]] void fail(const std::string& key, const std::string& what) const {
        throw Error(path_ + ": " + key + ": " + what);
    }

    // `key` of `object` joined to the path of the object: "render.rgba", "images[2].name".
    static std::string member(const std::string& object_key, const std::string& key) {
        return object_key.empty() ? key : object_key + "." + key;
    }

    // Refuses the first key of `object` that is not one of `known`.
    void check_keys(const json& object, const std::string& object_key, const std::vector<std::string>& known) const {
        for (const auto& [key, value] : object.items()) {
            if (std::find(known.begin(), known.end(), key) == known.end()) {
                fail(member(object_key, key), unknown_key(key, known));
            }
        }
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

    // The member `name` of `parent`, which must be an object with only `known` keys.
    const json& object(const json& parent, const std::string& name, const std::vector<std::string>& known) const {
        const json* value = find(parent, name);
        if (value == nullptr) fail(name, "missing");
        if (!value->is_object()) fail(name, "expected an object");
        check_keys(*value, name, known);
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

    void check_pattern(const std::string& key, const std::string& text) const {
        if (!text.empty()) parsed(key, text, [](const std::string& t) { return FramePattern(t); });
    }

    std::vector<SceneImage> images(const json& root) const {
        std::vector<SceneImage> images;
        const json* list = array(root, "images");
        if (list == nullptr) return images;
        std::unordered_set<std::string> names;
        for (std::size_t i = 0; i < list->size(); ++i) {
            const std::string key = "images[" + std::to_string(i) + "]";
            const json& entry = (*list)[i];
            if (!entry.is_object()) fail(key, "expected an object");
            check_keys(entry, key, IMAGE_KEYS);
            SceneImage image{text(entry, "name", key + ".name", true), text(entry, "file", key + ".file", true)};
            if (!names.insert(image.name).second) fail(key + ".name", "image \"" + image.name + "\" named twice");
            check_pattern(key + ".file", image.file);
            images.push_back(std::move(image));
        }
        return images;
    }

    FilterSpec filter(const json& entry, FilterKind kind, const std::string& key) const {
        if (!entry.is_object()) fail(key, "expected an object");
        check_keys(entry, key, FILTER_KEYS);
        FilterSpec spec;
        spec.kind = kind;
        spec.server = text(entry, "server", key + ".server", true);
        if (const json* settings = find(entry, "settings")) {
            spec.settings = settings_from_json(*settings, path_ + ": " + key + ".settings");
        }
        spec.answers_key = path_ + ": " + key + ".answers";
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

// Hands the scene text to the JSON parser one character at a time and
// counts the lines it has passed, so that a refusal from inside the parser
// can name its line.
class LineCountingIterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    LineCountingIterator(const char* at, std::size_t* line) : at_(at), line_(line) {}
    reference operator*() const { return *at_; }
    LineCountingIterator& operator++() {
        if (*at_ == '\n') ++*line_;
        ++at_;
        return *this;
    }
    LineCountingIterator operator++(int) {
        LineCountingIterator before = *this;
        ++*this;
        return before;
    }
    bool operator==(const LineCountingIterator& other) const { return at_ == other.at_; }

private:
    const char* at_;
    std::size_t* line_;
};

std::string read_text(const std::string& path) {
    check_not_special_file(path);
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error(path + ": cannot open the scene file");
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw Error(path + ": cannot read the scene file");
    return std::move(text).str();
}

// Builds the document as json::parse does (without recursion, in linear
// time), refusing a list or object that opens deeper than a scene needs and
// a key given twice in one object (json::parse would keep the last value).
class StrictBuilder : public nlohmann::detail::json_sax_dom_parser<json> {
public:
    StrictBuilder(json& document, const std::string& path, const std::size_t& line)
        : json_sax_dom_parser(document), path_(path), line_(line) {}

    bool start_object(std::size_t elements) {
        open();
        object_keys_.emplace_back();
        return json_sax_dom_parser::start_object(elements);
    }
    bool start_array(std::size_t elements) {
        open();
        return json_sax_dom_parser::start_array(elements);
    }
    bool key(std::string& name) {
        if (!object_keys_.back().insert(name).second) fail("key \"" + name + "\" given twice");
        return json_sax_dom_parser::key(name);
    }
    bool end_object() {
        --depth_;
        object_keys_.pop_back();
        return json_sax_dom_parser::end_object();
    }
    bool end_array() {
        --depth_;
        return json_sax_dom_parser::end_array();
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw Error(path_ + ": line " + std::to_string(line_) + ": " + what);
    }
    void open() {
        if (++depth_ > MAX_SCENE_NESTING) {
            fail("lists and objects nested deeper than " + std::to_string(MAX_SCENE_NESTING) + " levels");
        }
    }

    const std::string& path_;
    const std::size_t& line_;
    int depth_ = 0;
    std::vector<std::unordered_set<std::string>> object_keys_;  // of each object open
};

json parse_document(const std::string& path) {
    const std::string text = read_text(path);
    std::size_t line = 1;
    json document;
    StrictBuilder builder(document, path, line);
    try {
        const char* begin = text.data();
        json::sax_parse(LineCountingIterator(begin, &line), LineCountingIterator(begin + text.size(), &line), &builder);
    } catch (const json::exception& error) {
        // "[json.exception.parse_error.101] parse error at line 3, column 5: ..." without the tag;
        // a number beyond a double's range comes as another kind of error, with its own tag.
        std::string what = error.what();
        const std::size_t tag_end = what.find("] ");
        throw Error(path + ": " + (tag_end == std::string::npos ? what : what.substr(tag_end + 2)));
    }
    return document;
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
        } else if (std::find(SETTING_KEYS.begin(), SETTING_KEYS.end(), type) == SETTING_KEYS.end()) {
            throw Error(at + "." + type + ": " + unknown_key(type, SETTING_KEYS));
        } else {
            throw Error(at + "." + type + ": a value of the wrong kind or range");
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
    reader.check_keys(root, "", ROOT_KEYS);
    scene.frames = reader.parsed("frames", reader.text(root, "frames", "frames", true), parse_frame_range);
    const std::string size = reader.text(root, "size", "size", false);
    if (!size.empty()) scene.size = reader.parsed("size", size, [](const std::string& t) { return parse_size(t); });
    const json& render = reader.object(root, "render", RENDER_KEYS);
    scene.render_rgba = reader.text(render, "rgba", "render.rgba", true);
    scene.render_depth = reader.text(render, "depth", "render.depth", false);
    reader.check_pattern("render.rgba", scene.render_rgba);
    reader.check_pattern("render.depth", scene.render_depth);
    scene.images = reader.images(root);
    scene.filters = reader.filters(root);
    scene.output = reader.text(root, "output", "output", false);
    reader.check_pattern("output", scene.output);
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
