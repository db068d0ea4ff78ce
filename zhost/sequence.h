// Frame sequences: file name patterns with a frame number placeholder and
// frame ranges given as "A-B".
#pragma once

#include <cstdint>
#include <string>

namespace zhost {

// Largest number of frames that one range may cover; a longer range is far
// more likely a typing error than a wish.
constexpr int64_t MAX_FRAMES_IN_RANGE = 100000;

// A file name with at most one frame number placeholder: a run of '#'
// (the run's length is the zero-padded width) or a printf conversion
// "%d" / "%Nd" / "%0Nd". "%%" stands for a single '%'.
class FramePattern {
public:
    // Throws zhost::Error for a second placeholder or an unsupported '%'.
    explicit FramePattern(const std::string& pattern);

    bool has_placeholder() const { return has_placeholder_; }
    // The file name of `frame`; the pattern itself when it has no placeholder.
    std::string path(int32_t frame) const;

private:
    std::string prefix_;
    std::string suffix_;
    int width_ = 0;
    bool zero_pad_ = true;
    bool has_placeholder_ = false;
};

struct FrameRange {
    int32_t first = 1;
    int32_t last = 1;
    int64_t count() const { return int64_t{last} - first + 1; }
    bool operator==(const FrameRange&) const = default;
};

// Parses "A-B" (or a single frame "A"); either number may carry a minus
// sign ("-2-3" runs from -2 to 3). Throws zhost::Error naming the fault:
// empty text, not a number, a number beyond 32 bits, a range that runs
// backwards or covers more than MAX_FRAMES_IN_RANGE frames.
FrameRange parse_frame_range(const std::string& text);

// Parses "WxH" with both sides from 1 to `limit`. Throws zhost::Error.
struct Size {
    int32_t width = 0;
    int32_t height = 0;
};
Size parse_size(const std::string& text, int32_t limit = 16384);

}  // namespace zhost
