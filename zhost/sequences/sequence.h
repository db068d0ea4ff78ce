// Frame sequences: file name patterns with a frame number placeholder and
// frame ranges such as "1-24", "1-24x2" or "1,3,5-9".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zhost {

// Largest number of frames that one range may cover; a longer range is far
// more likely a typing error than a wish.
constexpr int64_t MAX_FRAMES_IN_RANGE = 100000;

// A file name with at most one frame number placeholder:
//   "#"           four digits (as oiiotool reads it);
//   "##", "###"…  as many digits as there are '#';
//   "@", "@@"…    one digit per '@';
//   "%d", "%0Nd"  printf's, with "%Nd" padding with blanks; "%%" is one '%'.
// Zero-padded numbers keep their digits whatever the sign: frame -3 gives
// "-0003" for "#", as the depth saver names its files, so that every name of
// a negative frame is padded alike.
class FramePattern {
public:
    // Throws zhost::Error for a second placeholder or an unsupported '%'.
    explicit FramePattern(const std::string& pattern);

    bool has_placeholder() const { return has_placeholder_; }
    // The file name of `frame`; the pattern itself when it has no placeholder.
    std::string path(int32_t frame) const;
    // The frame whose file name is `path`, if any.
    std::optional<int32_t> frame_of(const std::string& path) const;
    // The files on disk that the pattern names, with their frames in
    // ascending order. The placeholder must be in the file name, not in a
    // folder; without a placeholder, the file itself when it exists.
    std::vector<int32_t> frames_on_disk() const;

private:
    std::string pattern_;
    std::string prefix_;
    std::string suffix_;
    int width_ = 0;
    bool zero_pad_ = true;
    bool has_placeholder_ = false;
};

// The frames of a run, in the order given, each once.
struct FrameRange {
    std::vector<int32_t> frames;

    int32_t first() const { return frames.front(); }
    int32_t last() const { return frames.back(); }
    int64_t count() const { return int64_t(frames.size()); }
    // The frames written back as a range: "1-24", "1,3,5-9".
    std::string text() const;
    bool operator==(const FrameRange&) const = default;
};

// Parses a comma list of "A" (one frame), "A-B" (A to B) and "A-BxN" (every
// Nth frame from A up to B); any number may carry a minus sign ("-2-3" runs
// from -2 to 3). Throws zhost::Error naming the fault: empty text, not a
// number, a number beyond 32 bits, a range that runs backwards, a step
// below 1, a frame listed twice, more than MAX_FRAMES_IN_RANGE frames.
FrameRange parse_frame_range(const std::string& text);

// "(N frames)" for a run of several frames, else empty: a note for the
// "wrote FIRST .. LAST" lines.
std::string frame_count_note(const FrameRange& frames);

// The frames a command runs: those of `frames_option` (the text of
// --frames) when given, else `single` when given, else frame 1. Throws
// zhost::UsageError for a range that cannot be read, and when no range is
// given but one of `patterns` (inputs and outputs) names a sequence.
FrameRange frames_to_run(const std::string& frames_option, std::optional<int32_t> single,
                         const std::vector<std::string>& patterns);

// Throws zhost::UsageError when `pattern` (the value of `option`) names
// one file for all of a run of several frames: each frame would replace
// the last one's output.
void check_output_pattern(const std::string& option, const std::string& pattern, const FrameRange& frames);

// Parses "WxH" with both sides from 1 to `limit`. Throws zhost::Error.
struct Size {
    int32_t width = 0;
    int32_t height = 0;
};
Size parse_size(const std::string& text, int32_t limit = 16384);

}  // namespace zhost
