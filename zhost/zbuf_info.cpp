#include "zhost/zbuf_info.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "zhost/error.h"

namespace zhost {
namespace {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

uint32_t get_u32_be(const unsigned char* in) {
    return (uint32_t{in[0]} << 24) | (uint32_t{in[1]} << 16) | (uint32_t{in[2]} << 8) | in[3];
}
uint16_t get_u16_be(const unsigned char* in) { return uint16_t((in[0] << 8) | in[1]); }
float get_f32_be(const unsigned char* in) {
    const uint32_t bits = get_u32_be(in);
    float value;
    std::memcpy(&value, &bits, 4);
    return value;
}

ZBufHeader parse_header(const unsigned char* p) {
    ZBufHeader h{};
    h.width = get_u32_be(p);
    h.height = get_u32_be(p + 4);
    h.value_type = get_u16_be(p + 8);
    h.compression = get_u16_be(p + 10);
    h.ordering = get_u16_be(p + 12);
    h.units = get_u16_be(p + 14);
    h.min_depth = get_f32_be(p + 16);
    h.max_depth = get_f32_be(p + 20);
    h.background_depth = get_f32_be(p + 24);
    h.scale = get_f32_be(p + 28);
    h.offset = get_f32_be(p + 32);
    return h;
}

// A chunk id as text: the four characters, or their hex bytes when any is
// not printable.
std::string id_text(const unsigned char* id) {
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

bool refuse(ZbufInfo& info, ZbufRule rule, std::string reason) {
    info.rule = rule;
    info.reason = std::move(reason);
    return false;
}

// The tests that a "ZBOD" chunk header must pass, in the reader's order.
bool check_body_chunk(ZbufInfo& info, uint64_t offset, uint64_t size) {
    const ZBufHeader& h = info.header;
    if (h.width == 0) {
        if (info.zbuf_chunks == 0) {
            return refuse(info, ZbufRule::BODY_BEFORE_HEADER, "\"ZBOD\" chunk at offset " + number(offset) +
                                                                  " comes before any \"ZBUF\" header chunk");
        }
        return refuse(info, ZbufRule::WIDTH_ZERO, "width is 0");
    }
    if (h.compression != 0) {
        return refuse(info, ZbufRule::COMPRESSION, "compression is " + number(h.compression) + "; only 0 is read");
    }
    if (h.ordering != 0) {
        return refuse(info, ZbufRule::ORDERING, "ordering is " + number(h.ordering) + "; only 0 is read");
    }
    if (h.scale != 1.0f) {
        return refuse(info, ZbufRule::SCALE, "scale is " + float_text(h.scale) + "; only 1 is read");
    }
    if (h.value_type != ZBUF_FLOAT32 && h.value_type != ZBUF_FLOAT64) {
        return refuse(info, ZbufRule::VALUE_TYPE, "value type is " + number(h.value_type) +
                                                      "; only 6 (32-bit float) and 7 (64-bit float) are read");
    }
    if (!zbuf_sizes_valid(h.width, h.height, h.value_type)) {
        return refuse(info, ZbufRule::SIZES_BEYOND_FORMAT, "size " + number(h.width) + " x " + number(h.height) +
                                                               " does not fit the format's 32-bit sizes");
    }
    const uint64_t expected = uint64_t{h.width} * h.height * zbuf_sample_size(h.value_type);
    if (size != expected) {
        return refuse(info, ZbufRule::BODY_SIZE, "\"ZBOD\" size " + number(size) + " (rounded to even) is not " +
                                                     number(h.width) + " x " + number(h.height) + " x " +
                                                     number(zbuf_sample_size(h.value_type)) + " = " + number(expected));
    }
    if (size > info.form_size) {
        return refuse(info, ZbufRule::BODY_LARGER_THAN_FORM,
                      "\"ZBOD\" size " + number(size) + " is larger than the FORM size " + number(info.form_size));
    }
    return true;
}

bool within_form(ZbufInfo& info, const unsigned char* id, uint64_t chunk_offset, uint64_t position) {
    if (info.form_size > uint32_t{INT32_MAX}) {
        return refuse(info, ZbufRule::PAST_FORM_SIZE,
                      "FORM size " + number(info.form_size) + " is 2^31 or more, beyond what the reader takes");
    }
    if (position > info.form_size) {
        return refuse(info, ZbufRule::PAST_FORM_SIZE, "chunk " + id_text(id) + " at offset " + number(chunk_offset) +
                                                          " ends at byte " + number(position) +
                                                          ", past the FORM size " + number(info.form_size));
    }
    return true;
}

// Walks the chunks up to the body; false with the rule set on a refusal.
bool walk_chunks(std::FILE* file, ZbufInfo& info) {
    unsigned char form[12];
    if (std::fread(form, 1, 12, file) != 12) {
        return refuse(info, ZbufRule::SHORT_FORM_HEADER,
                      "file of " + number(info.file_size) + " bytes ends inside the 12-byte FORM header");
    }
    if (std::memcmp(form, "FORM", 4) != 0) {
        return refuse(info, ZbufRule::NOT_FORM, "begins with " + id_text(form) + ", not \"FORM\": not an IFF file");
    }
    if (std::memcmp(form + 8, "ILBM", 4) != 0) {
        return refuse(info, ZbufRule::NOT_ILBM, "FORM type is " + id_text(form + 8) + ", not \"ILBM\"");
    }
    info.form_size = get_u32_be(form + 4);
    uint64_t position = 12;
    for (;;) {
        unsigned char chunk[8];
        const uint64_t offset = position;
        if (std::fseek(file, long(position), SEEK_SET) != 0 || std::fread(chunk, 1, 8, file) != 8) {
            return refuse(info, ZbufRule::ENDS_BEFORE_BODY,
                          "file ends at byte " + number(info.file_size) + " before a \"ZBOD\" body chunk");
        }
        position += 8;
        const uint32_t stored = get_u32_be(chunk + 4);
        const uint64_t size = uint64_t{stored} + (stored & 1u);
        if (std::memcmp(chunk, "ZBOD", 4) == 0) {
            info.body_offset = position;
            return check_body_chunk(info, offset, size);
        }
        if (std::memcmp(chunk, "ZBUF", 4) == 0) {
            unsigned char payload[36];
            if (size != 36) {
                return refuse(info, ZbufRule::ZBUF_CHUNK_SIZE, "\"ZBUF\" chunk at offset " + number(offset) +
                                                                   " has size " + number(stored) + ", not 36");
            }
            if (std::fread(payload, 1, 36, file) != 36) {
                return refuse(info, ZbufRule::SHORT_ZBUF_CHUNK,
                              "file ends inside the \"ZBUF\" chunk at offset " + number(offset));
            }
            info.header = parse_header(payload);
            ++info.zbuf_chunks;
            position += 36;
        } else {
            if (position + size > uint64_t{INT32_MAX}) {
                return refuse(info, ZbufRule::CHUNK_TOO_LARGE, "chunk " + id_text(chunk) + " at offset " +
                                                                   number(offset) + " claims " + number(stored) +
                                                                   " bytes, reaching beyond 2^31");
            }
            position += size;
        }
        if (!within_form(info, chunk, offset, position)) return false;
    }
}

const char* value_type_name(uint16_t type) {
    if (type == ZBUF_FLOAT32) return " (32-bit float)";
    if (type == ZBUF_FLOAT64) return " (64-bit float)";
    return "";
}

}  // namespace

ZbufInfo inspect_zbuf(const std::string& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) throw Error(path + ": is a directory, not a depth file");
    File file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) throw Error(path + ": cannot open: " + std::strerror(errno));
    ZbufInfo info;
    if (std::fseek(file.get(), 0, SEEK_END) == 0) info.file_size = uint64_t(std::max(0L, std::ftell(file.get())));
    std::rewind(file.get());
    if (walk_chunks(file.get(), info)) {
        const uint64_t row = uint64_t{info.header.width} * zbuf_sample_size(info.header.value_type);
        const uint64_t available = info.file_size > info.body_offset ? info.file_size - info.body_offset : 0;
        info.rows_present = std::min<uint64_t>(info.header.height, available / row);
    }
    return info;
}

std::string format_zbuf_info(const std::string& path, const ZbufInfo& info) {
    std::string out = path + ": ";
    if (!info.accepted()) {
        out += "refused: " + info.reason + "\n";
    } else if (!info.body_complete()) {
        out += "refused: body ends after " + number(info.rows_present) + " of " + number(info.header.height) +
               " rows\n";
    } else {
        out += "accepted\n";
    }
    auto line = [&out](const char* label, const std::string& value) {
        char text[64];
        std::snprintf(text, sizeof text, "  %-17s", label);
        out += text + value + "\n";
    };
    line("file size", number(info.file_size) + " bytes");
    if (info.rule != ZbufRule::SHORT_FORM_HEADER && info.rule != ZbufRule::NOT_FORM && info.rule != ZbufRule::NOT_ILBM) {
        line("FORM size", number(info.form_size));
    }
    if (info.zbuf_chunks == 0) return out;
    const ZBufHeader& h = info.header;
    if (info.zbuf_chunks > 1) line("header chunks", number(info.zbuf_chunks) + " (the last counts)");
    line("size", number(h.width) + " x " + number(h.height));
    line("value type", number(h.value_type) + value_type_name(h.value_type));
    line("compression", number(h.compression));
    line("ordering", number(h.ordering));
    line("units", number(h.units));
    line("scale", float_text(h.scale));
    line("offset", float_text(h.offset));
    line("min depth", float_text(h.min_depth));
    line("max depth", float_text(h.max_depth));
    line("background depth", float_text(h.background_depth));
    if (info.accepted()) line("body", number(info.rows_present) + " of " + number(h.height) + " rows present");
    return out;
}

}  // namespace zhost
