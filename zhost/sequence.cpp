#include "zhost/sequence.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <limits>
#include <string_view>

#include "zhost/error.h"

namespace zhost {
namespace {

// Widths beyond this make no sense for a frame number and would only bloat names.
constexpr int MAX_PAD_WIDTH = 32;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads "%d", "%Nd" or "%0Nd" starting at text[at] == '%'. Returns the index
// after the conversion and sets the width and padding; throws for anything else.
std::size_t read_printf_conversion(const std::string& text, std::size_t at, int& width, bool& zero_pad) {
    std::size_t i = at + 1;
    zero_pad = i < text.size() && text[i] == '0';
    if (zero_pad) ++i;
    width = 0;
    while (i < text.size() && is_digit(text[i])) {
        width = width * 10 + (text[i] - '0');
        if (width > MAX_PAD_WIDTH) throw Error("frame number width in \"" + text + "\" is too large");
        ++i;
    }
    if (i >= text.size() || text[i] != 'd') {
        throw Error("pattern \"" + text + "\": only %d, %04d and the like (or %% for a percent sign) are understood");
    }
    return i + 1;
}

// Parses one optionally signed decimal integer at the start of `text`;
// returns the number of characters used.
std::size_t read_frame_number(const std::string& whole, std::string_view text, int32_t& value) {
    int64_t wide = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), wide);
    if (error == std::errc::result_out_of_range ||
        (error == std::errc{} && (wide < std::numeric_limits<int32_t>::min() ||
                                  wide > std::numeric_limits<int32_t>::max()))) {
        throw Error("frame range \"" + whole + "\": frame number out of range");
    }
    if (error != std::errc{}) throw Error("frame range \"" + whole + "\" is not of the form A-B");
    value = static_cast<int32_t>(wide);
    return static_cast<std::size_t>(end - text.data());
}

int32_t read_dimension(const std::string& whole, std::string_view text, int32_t limit) {
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || !is_digit(text[0]) || error != std::errc{} || end != text.data() + text.size()) {
        throw Error("size \"" + whole + "\" is not of the form WIDTHxHEIGHT, e.g. 640x360");
    }
    if (value < 1 || value > limit) {
        throw Error("size \"" + whole + "\": each side must be from 1 to " + std::to_string(limit));
    }
    return static_cast<int32_t>(value);
}

}  // namespace

FramePattern::FramePattern(const std::string& pattern) {
    std::string* out = &prefix_;
    for (std::size_t i = 0; i < pattern.size();) {
        const char c = pattern[i];
        if (c == '%' && i + 1 < pattern.size() && pattern[i + 1] == '%') {
            out->push_back('%');
            i += 2;
            continue;
        }
        if (c != '#' && c != '%') {
            out->push_back(c);
            ++i;
            continue;
        }
        if (has_placeholder_) throw Error("pattern \"" + pattern + "\" has more than one frame number placeholder");
        has_placeholder_ = true;
        if (c == '#') {
            std::size_t run = pattern.find_first_not_of('#', i);
            if (run == std::string::npos) run = pattern.size();
            width_ = static_cast<int>(run - i);
            if (width_ > MAX_PAD_WIDTH) throw Error("frame number width in \"" + pattern + "\" is too large");
            zero_pad_ = true;
            i = run;
        } else {
            i = read_printf_conversion(pattern, i, width_, zero_pad_);
        }
        out = &suffix_;
    }
}

std::string FramePattern::path(int32_t frame) const {
    if (!has_placeholder_) return prefix_;
    char number[48];
    std::snprintf(number, sizeof number, zero_pad_ ? "%0*d" : "%*d", width_, frame);
    return prefix_ + number + suffix_;
}

FrameRange parse_frame_range(const std::string& text) {
    if (text.empty()) throw Error("frame range is empty; give A-B, e.g. 1-24");
    FrameRange range;
    std::string_view rest(text);
    rest.remove_prefix(read_frame_number(text, rest, range.first));
    if (rest.empty()) {
        range.last = range.first;
    } else {
        if (rest[0] != '-' || rest.size() == 1) throw Error("frame range \"" + text + "\" is not of the form A-B");
        rest.remove_prefix(1);
        const std::size_t used = read_frame_number(text, rest, range.last);
        if (used != rest.size()) throw Error("frame range \"" + text + "\" is not of the form A-B");
    }
    if (range.last < range.first) {
        throw Error("frame range \"" + text + "\" runs backwards; the first frame comes first");
    }
    if (range.count() > MAX_FRAMES_IN_RANGE) {
        throw Error("frame range \"" + text + "\" covers " + std::to_string(range.count()) +
                    " frames; at most " + std::to_string(MAX_FRAMES_IN_RANGE) + " are allowed");
    }
    return range;
}

Size parse_size(const std::string& text, int32_t limit) {
    const std::size_t x = text.find_first_of("xX");
    if (x == std::string::npos) throw Error("size \"" + text + "\" is not of the form WIDTHxHEIGHT, e.g. 640x360");
    const std::string_view whole(text);
    return Size{read_dimension(text, whole.substr(0, x), limit), read_dimension(text, whole.substr(x + 1), limit)};
}

}  // namespace zhost
