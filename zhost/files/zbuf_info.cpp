#include "zhost/files/zbuf_info.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "module/file.h"
#include "zhost/files/zbuf_refusal.h"
#include "zhost/images/image_read.h"
#include "zhost/text/error.h"

namespace zhost {
namespace {

std::string number(uint64_t value) { return std::to_string(value); }

// What each header code means, in words.
std::string value_type_meaning(uint16_t code) {
    if (code == ZBUF_FLOAT32) return "32-bit float";
    if (code == ZBUF_FLOAT64) return "64-bit float";
    return "unknown sample type: refused";
}
std::string compression_meaning(uint16_t code) {
    return code == 0 ? "none: samples stored plainly" : "unknown compression: refused";
}
std::string ordering_meaning(uint16_t code) {
    return code == 0 ? "row by row from the first row, each row from its first sample" : "unknown ordering: refused";
}
std::string units_meaning(uint16_t code) {
    return std::string(code == 2 ? "the saver's default code" : "a unit code") + "; readers take depths as stored";
}
std::string scale_meaning(float scale) {
    return scale == 1.0f ? "depths are used as stored" : "only 1 is read: refused";
}

std::string with_meaning(const std::string& value, const std::string& meaning) { return value + " (" + meaning + ")"; }

// The verdict line's text after "PATH: ".
std::string verdict(const ZbufInfo& info) {
    if (!info.accepted()) return "refused: " + info.reason;
    if (!info.body_complete()) {
        return "refused: body ends after " + number(info.rows_present) + " of " + number(info.header.height) + " rows";
    }
    return "accepted";
}

bool has_form_size(const ZbufReading& r) {
    return r.reason != ZbufReason::SHORT_FORM_HEADER && r.reason != ZbufReason::NOT_FORM &&
           r.reason != ZbufReason::NOT_ILBM;
}

}  // namespace

ZbufInfo inspect_zbuf(const std::string& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) throw Error(path + ": is a directory, not a depth file");
    check_not_special_file(path);
    const File file(std::fopen(path.c_str(), "rb"));
    if (!file) throw Error(path + ": cannot open: " + std::strerror(errno));
    ZbufInfo info;
    if (std::fseek(file.get(), 0, SEEK_END) == 0) info.file_size = uint64_t(std::max(0L, std::ftell(file.get())));
    std::rewind(file.get());
    info.reading = read_zbuf_reading(file.get(), &info.header);
    info.reason = zbuf_refusal(info.reading, info.header, info.file_size);
    if (info.accepted()) {
        const uint64_t row = uint64_t{info.header.width} * zbuf_sample_size(info.header.value_type);
        const uint64_t body = info.reading.position;
        const uint64_t available = info.file_size > body ? info.file_size - body : 0;
        info.rows_present = std::min<uint64_t>(info.header.height, available / row);
    }
    return info;
}

std::string format_zbuf_info(const std::string& path, const ZbufInfo& info) {
    std::string out = path + ": " + verdict(info) + "\n";
    auto line = [&out](const char* label, const std::string& value) {
        char text[64];
        std::snprintf(text, sizeof text, "  %-17s", label);
        out += text + value + "\n";
    };
    const ZbufReading& r = info.reading;
    line("file size", number(info.file_size) + " bytes");
    if (has_form_size(r)) line("FORM size", number(r.form_size));
    if (r.header_chunks == 0) return out;
    const ZBufHeader& h = info.header;
    if (r.header_chunks > 1) line("header chunks", number(r.header_chunks) + " (the last counts)");
    line("size", number(h.width) + " x " + number(h.height));
    line("value type", with_meaning(number(h.value_type), value_type_meaning(h.value_type)));
    line("compression", with_meaning(number(h.compression), compression_meaning(h.compression)));
    line("ordering", with_meaning(number(h.ordering), ordering_meaning(h.ordering)));
    line("units", with_meaning(number(h.units), units_meaning(h.units)));
    line("scale", with_meaning(zbuf_float_text(h.scale), scale_meaning(h.scale)));
    line("offset", with_meaning(zbuf_float_text(h.offset), "not interpreted"));
    line("min depth", zbuf_float_text(h.min_depth));
    line("max depth", zbuf_float_text(h.max_depth));
    line("background depth", zbuf_float_text(h.background_depth));
    if (info.accepted()) line("body", number(info.rows_present) + " of " + number(h.height) + " rows present");
    return out;
}

nlohmann::json zbuf_info_json(const std::string& path, const ZbufInfo& info) {
    using json = nlohmann::json;
    json out = {{"file", path}, {"verdict", info.body_complete() ? "accepted" : "refused"}, {"file_size", info.file_size}};
    if (!info.body_complete()) out["reason"] = verdict(info).substr(std::string("refused: ").size());
    const ZbufReading& r = info.reading;
    if (has_form_size(r)) out["form_size"] = r.form_size;
    if (r.header_chunks == 0) return out;
    const ZBufHeader& h = info.header;
    const auto code = [](uint16_t value, const std::string& meaning) { return json{{"code", value}, {"meaning", meaning}}; };
    out["header_chunks"] = r.header_chunks;
    out["header"] = {
        {"width", h.width},
        {"height", h.height},
        {"value_type", code(h.value_type, value_type_meaning(h.value_type))},
        {"compression", code(h.compression, compression_meaning(h.compression))},
        {"ordering", code(h.ordering, ordering_meaning(h.ordering))},
        {"units", code(h.units, units_meaning(h.units))},
        {"scale", {{"value", h.scale}, {"meaning", scale_meaning(h.scale)}}},
        {"offset", {{"value", h.offset}, {"meaning", "not interpreted"}}},
        {"min_depth", h.min_depth},
        {"max_depth", h.max_depth},
        {"background_depth", h.background_depth},
    };
    if (info.accepted()) out["rows_present"] = info.rows_present;
    return out;
}

}  // namespace zhost
