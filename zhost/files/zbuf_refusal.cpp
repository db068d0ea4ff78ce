#include "zhost/files/zbuf_refusal.h"

#include <climits>
#include <cstdio>

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
    case ZbufReason::SCALE: return "scale is " + zbuf_float_text(h.scale) + "; only 1 is read";
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

}  // namespace

std::string zbuf_float_text(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", double(value));
    return text;
}

std::string zbuf_refusal(const ZbufReading& r, const ZBufHeader& header, uint64_t file_size) {
    switch (r.reason) {
    case ZbufReason::ACCEPTED: return {};
    case ZbufReason::SHORT_FORM_HEADER:
        return "file of " + number(file_size) + " bytes ends inside the 12-byte FORM header";
    case ZbufReason::NOT_FORM: return "begins with " + id_text(r.id) + ", not \"FORM\": not an IFF file";
    case ZbufReason::NOT_ILBM: return "FORM type is " + id_text(r.id) + ", not \"ILBM\"";
    case ZbufReason::ENDS_BEFORE_BODY:
        return "file ends at byte " + number(file_size) + " before a \"ZBOD\" body chunk";
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
    default: return body_refusal(header, r);
    }
}


}  // namespace zhost
