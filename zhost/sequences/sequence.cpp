#include "zhost/sequences/sequence.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <set>
#include <string_view>

#include "zhost/text/error.h"

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

Error not_a_frame_range(const std::string& whole) {
    return Error("frame range \"" + whole + "\" is not of the form A-B, A-BxN or a list of those");
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
    if (error != std::errc{}) {
        throw not_a_frame_range(whole);
    }
    value = static_cast<int32_t>(wide);
    return static_cast<std::size_t>(end - text.data());
}

// One item of a frame range: "A", "A-B" or "A-BxN".
struct Span {
    int32_t first = 0;
    int32_t last = 0;
    int64_t step = 1;
};

Span read_span(const std::string& whole, std::string_view text) {
    Span span;
    text.remove_prefix(read_frame_number(whole, text, span.first));
    span.last = span.first;
    if (text.empty()) return span;
    if (text[0] != '-' || text.size() == 1) throw not_a_frame_range(whole);
    text.remove_prefix(1);
    text.remove_prefix(read_frame_number(whole, text, span.last));
    if (!text.empty()) {
        int32_t step = 0;
        if (text[0] != 'x' || text.size() == 1 || !is_digit(text[1])) throw not_a_frame_range(whole);
        text.remove_prefix(1);
        if (read_frame_number(whole, text, step) != text.size()) throw not_a_frame_range(whole);
        if (step < 1) throw Error("frame range \"" + whole + "\": the step after 'x' must be 1 or more");
        span.step = step;
    }
    if (span.last < span.first) {
        throw Error("frame range \"" + whole + "\" runs backwards; the first frame comes first");
    }
    return span;
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

FramePattern::FramePattern(const std::string& pattern) : pattern_(pattern) {
    std::string* out = &prefix_;
    for (std::size_t i = 0; i < pattern.size();) {
        const char c = pattern[i];
        if (c == '%' && i + 1 < pattern.size() && pattern[i + 1] == '%') {
            out->push_back('%');
            i += 2;
            continue;
        }
        if (c != '#' && c != '@' && c != '%') {
            out->push_back(c);
            ++i;
            continue;
        }
        if (has_placeholder_) throw Error("pattern \"" + pattern + "\" has more than one frame number placeholder");
        has_placeholder_ = true;
        if (c == '%') {
            i = read_printf_conversion(pattern, i, width_, zero_pad_);
        } else {
            std::size_t run = pattern.find_first_not_of(c, i);
            if (run == std::string::npos) run = pattern.size();
            width_ = c == '#' && run - i == 1 ? 4 : static_cast<int>(run - i);
            if (width_ > MAX_PAD_WIDTH) throw Error("frame number width in \"" + pattern + "\" is too large");
            zero_pad_ = true;
            i = run;
        }
        out = &suffix_;
    }
}

std::string FramePattern::path(int32_t frame) const {
    if (!has_placeholder_) return prefix_;
    if (!zero_pad_) {
        char number[48];
        std::snprintf(number, sizeof number, "%*d", width_, frame);
        return prefix_ + number + suffix_;
    }
    // The digits padded, the sign in front of them: "-0003".
    std::string digits = std::to_string(frame < 0 ? -int64_t{frame} : int64_t{frame});
    if (int(digits.size()) < width_) digits.insert(0, std::size_t(width_) - digits.size(), '0');
    return prefix_ + (frame < 0 ? "-" : "") + digits + suffix_;
}

std::optional<int32_t> FramePattern::frame_of(const std::string& path) const {
    if (!has_placeholder_ || path.size() <= prefix_.size() + suffix_.size() || path.compare(0, prefix_.size(), prefix_) != 0 ||
        path.compare(path.size() - suffix_.size(), suffix_.size(), suffix_) != 0) {
        return std::nullopt;
    }
    std::string_view number(path);
    number = number.substr(prefix_.size(), path.size() - prefix_.size() - suffix_.size());
    while (!zero_pad_ && !number.empty() && number.front() == ' ') number.remove_prefix(1);
    int32_t frame = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), frame);
    if (error != std::errc{} || end != number.data() + number.size() || this->path(frame) != path) return std::nullopt;
    return frame;
}

std::vector<int32_t> FramePattern::frames_on_disk() const {
    if (suffix_.find('/') != std::string::npos) {
        throw Error("pattern \"" + pattern_ + "\": frames are found on disk only for a placeholder in the file name; "
                    "give --frames");
    }
    const std::size_t slash = prefix_.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : prefix_.substr(0, slash + 1);
    std::vector<int32_t> frames;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder.empty() ? "." : folder, error)) {
        if (const auto frame = frame_of(folder + entry.path().filename().string())) frames.push_back(*frame);
    }
    std::sort(frames.begin(), frames.end());
    return frames;
}

std::string FrameRange::text() const {
    std::string out;
    for (std::size_t i = 0; i < frames.size();) {
        std::size_t run = i + 1;
        while (run < frames.size() && int64_t{frames[run]} == int64_t{frames[run - 1]} + 1) ++run;
        if (!out.empty()) out += ',';
        out += std::to_string(frames[i]);
        if (run - i > 1) {
            out += '-';
            out += std::to_string(frames[run - 1]);
        }
        i = run;
    }
    return out;
}

FrameRange parse_frame_range(const std::string& text) {
    if (text.empty()) throw Error("frame range is empty; give A-B, e.g. 1-24");
    FrameRange range;
    std::set<int32_t> seen;
    std::string_view rest(text);
    while (true) {
        const std::size_t comma = rest.find(',');
        const Span span = read_span(text, rest.substr(0, comma));
        const int64_t count = (int64_t{span.last} - span.first) / span.step + 1;
        if (range.count() + count > MAX_FRAMES_IN_RANGE) {
            throw Error("frame range \"" + text + "\" covers more than " + std::to_string(MAX_FRAMES_IN_RANGE) +
                        " frames; at most " + std::to_string(MAX_FRAMES_IN_RANGE) + " are allowed");
        }
        for (int64_t frame = span.first; frame <= span.last; frame += span.step) {
            if (!seen.insert(int32_t(frame)).second) {
                throw Error("frame range \"" + text + "\" lists frame " + std::to_string(frame) + " twice");
            }
            range.frames.push_back(int32_t(frame));
        }
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return range;
}

FrameRange frames_to_run(const std::string& frames_option, std::optional<int32_t> single,
                         const std::vector<std::string>& patterns) {
    if (!frames_option.empty()) return parse_option([&] { return parse_frame_range(frames_option); });
    if (single) return FrameRange{{*single}};
    for (const std::string& pattern : patterns) {
        if (parse_option([&] { return FramePattern(pattern); }).has_placeholder()) {
            throw UsageError("\"" + pattern + "\" is a sequence pattern; give --frames A-B");
        }
    }
    return FrameRange{{1}};
}

std::string frame_count_note(const FrameRange& frames) {
    if (frames.count() < 2) return {};
    std::string note = std::to_string(frames.count());
    note.insert(0, 1, '(');
    return note + " frames)";
}

void check_output_pattern(const std::string& option, const std::string& pattern, const FrameRange& frames) {
    if (frames.count() < 2 || FramePattern(pattern).has_placeholder()) return;
    throw UsageError(option + " \"" + pattern + "\" has no frame number (# or %04d) but " +
                     std::to_string(frames.count()) + " frames (" + frames.text() +
                     ") are run; each would replace the one before");
}

Size parse_size(const std::string& text, int32_t limit) {
    const std::size_t x = text.find_first_of("xX");
    if (x == std::string::npos) throw Error("size \"" + text + "\" is not of the form WIDTHxHEIGHT, e.g. 640x360");
    const std::string_view whole(text);
    return Size{read_dimension(text, whole.substr(0, x), limit), read_dimension(text, whole.substr(x + 1), limit)};
}

}  // namespace zhost
