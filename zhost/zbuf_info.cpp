#include "zhost/zbuf_info.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "module/file.h"
#include "zhost/error.h"
#include "zhost/image_read.h"

namespace zhost {
namespace {

// A chunk id as text: the four characters, or their hex bytes when any is
// not printable.
std::string id_text(const char (&chars)[4]) {
    const auto* id = reinterpret_cast<const unsigned char*>(chars);
    bool printable = true;
    for (int i = 0; i < 4; ++i) printable = printable && id[i] >= 0x20 && id[i] < 0x7F;
    char text[16];
    if (printable) {
        std::snprintf(text, sizeof text, "\"%c%c%c%c\"", id[0], id[1], id[2], id[3]);
    } else {
        std::snprintf(text, sizeof text, "%02X %02X %02X %02X", id[0], id[1], id[2], id[3]);
    }
    return text;
}

std::string number(uint64_t value) { return std::to_string(value); }

std::string float_text(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", double(value));
    return text;
}

std::string chunk_at(const ZbufReading& r) { return id_text(r.id) + " at offset " + number(r.offset); }

std::string body_refusal(const ZBufHeader& h, const ZbufReading& r) {
    const std::string size = number(h.width) + " x " + number(h.height);
    const uint32_t sample = zbuf_sample_size(h.value_type);
    switch (r.reason) {
    case ZbufReason::BODY_BEFORE_HEADER:
        return "\"ZBOD\" chunk at offset " + number(r.offset) + " comes before any \"ZBUF\" header chunk";
    case ZbufReason::WIDTH_ZERO: return "width is 0";
    case ZbufReason::COMPRESSION: return "compression is " + number(h.compression) + "; only 0 is read";
    case ZbufReason::ORDERING: return "ordering is " + number(h.ordering) + "; only 0 is read";
    case ZbufReason::SCALE: return "scale is " + float_text(h.scale) + "; only 1 is read";
    case ZbufReason::VALUE_TYPE:
        return "value type is " + number(h.value_type) + "; only 6 (32-bit float) and 7 (64-bit float) are read";
    case ZbufReason::SIZES_BEYOND_FORMAT: return "size " + size + " does not fit the format's 32-bit sizes";
    case ZbufReason::BODY_SIZE:
        return "\"ZBOD\" size " + number(r.rounded_size()) + " (rounded to even) is not " + size + " x " +
               number(sample) + " = " + number(uint64_t{h.width} * h.height * sample);
    case ZbufReason::BODY_LARGER_THAN_FORM:
        return "\"ZBOD\" size " + number(r.rounded_size()) + " is larger than the FORM size " + number(r.form_size);
    default: return {};
    }
}

// Why the reader refused the file, in one line; empty when it accepted it.
std::string refusal(const ZbufInfo& info) {
    const ZbufReading& r = info.reading;
    switch (r.reason) {
    case ZbufReason::ACCEPTED: return {};
    case ZbufReason::SHORT_FORM_HEADER:
        return "file of " + number(info.file_size) + " bytes ends inside the 12-byte FORM header";
    case ZbufReason::NOT_FORM: return "begins with " + id_text(r.id) + ", not \"FORM\": not an IFF file";
    case ZbufReason::NOT_ILBM: return "FORM type is " + id_text(r.id) + ", not \"ILBM\"";
    case ZbufReason::ENDS_BEFORE_BODY:
        return "file ends at byte " + number(info.file_size) + " before a \"ZBOD\" body chunk";
    case ZbufReason::HEADER_CHUNK_SIZE:
        return "\"ZBUF\" chunk at offset " + number(r.offset) + " has size " + number(r.stored_size) + ", not 36";
    case ZbufReason::SHORT_HEADER_CHUNK: return "file ends inside the \"ZBUF\" chunk at offset " + number(r.offset);
    case ZbufReason::CHUNK_TOO_LARGE:
        return "chunk " + chunk_at(r) + " claims " + number(r.stored_size) + " bytes, reaching beyond 2^31";
    case ZbufReason::SEEK_FAILED: return "cannot move past chunk " + chunk_at(r);
    case ZbufReason::PAST_FORM_SIZE:
        if (r.form_size > uint32_t{INT32_MAX}) {
            return "FORM size " + number(r.form_size) + " is 2^31 or more, beyond what the reader takes";
        }
        return "chunk " + chunk_at(r) + " ends at byte " + number(r.position) + ", past the FORM size " +
               number(r.form_size);
    default: return body_refusal(info.header, r);
    }
}

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
    info.reason = refusal(info);
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
    line("scale", with_meaning(float_text(h.scale), scale_meaning(h.scale)));
    line("offset", with_meaning(float_text(h.offset), "not interpreted"));
    line("min depth", float_text(h.min_depth));
    line("max depth", float_text(h.max_depth));
    line("background depth", float_text(h.background_depth));
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
