#include "zhost/text/one_line.h"


#include <cstdint>
#include <cstdio>

namespace zhost {
namespace {

// Length of the well-formed UTF-8 sequence at text[at] (1 to 4), or 0 when
// the bytes there are not one: no overlong forms, no surrogates, nothing
// beyond U+10FFFF.
std::size_t utf8_length(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<uint8_t>(text[at + i]); };
    const uint8_t lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    uint8_t low = 0x80, high = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - at < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    }
    return length;
}

void append_escaped(std::string& out, uint8_t byte) {
    switch (byte) {
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
        default: break;
    }
    char code[8];
    std::snprintf(code, sizeof code, "\\x%02X", byte);
    out += code;
}

}  // namespace

std::string one_line(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<uint8_t>(text[at]);
        const std::size_t length = utf8_length(text, at);
        if (length == 0 || byte < 0x20 || byte == 0x7F) {
            append_escaped(out, byte);
            ++at;
        } else {
            out.append(text.substr(at, length));
            at += length;
        }
    }
    return out;
}

std::string first_line(std::string text) {
    const std::size_t end = text.find('\n');
    if (end != std::string::npos) text.resize(end);
    return text;
}

std::string size_note(int32_t width, int32_t height) {
    char text[32];
    std::snprintf(text, sizeof text, "(%dx%d)", width, height);
    return text;
}

}  // namespace zhost
