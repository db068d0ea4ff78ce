// Helpers for zhost's tests: images written with OpenImageIO directly
// (independently of zhost's writer), and running the zhost program.
#pragma once

#include <OpenImageIO/imageio.h>
#include <sys/types.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "host/image.h"
#include "test_support.h"

namespace ztest {

// Under the sanitizers every start of zhost takes seconds: tests that repeat
// whole commands for timing, concurrency or breadth repeat fewer of them.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool SANITIZED = true;
#else
inline constexpr bool SANITIZED = false;
#endif

// Writes an image of `names.size()` float channels with OpenImageIO.
inline void write_image(const std::string& path, int width, int height, const std::vector<std::string>& names,
                        const std::vector<float>& pixels, OIIO::TypeDesc type = OIIO::TypeDesc::FLOAT) {
    auto out = OIIO::ImageOutput::create(path);
    ASSERT_TRUE(out) << path;
    OIIO::ImageSpec spec(width, height, int(names.size()), type);
    spec.channelnames = names;
    ASSERT_TRUE(out->open(path, spec)) << out->geterror();
    ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, pixels.data())) << out->geterror();
    ASSERT_TRUE(out->close());
}

// Sample values of channel c at pixel i: distinct everywhere, channel in the
// hundreds, so that a wrong channel or a shifted pixel shows.
inline float sample(int pixel, int channel) { return float(channel * 100 + pixel) + 0.25f; }

inline std::vector<float> samples(int pixels, int channels) {
    std::vector<float> data;
    for (int p = 0; p < pixels; ++p)
        for (int c = 0; c < channels; ++c) data.push_back(sample(p, c));
    return data;
}

inline uint32_t bits(float value) {
    uint32_t b;
    std::memcpy(&b, &value, 4);
    return b;
}

inline std::vector<uint32_t> bits_of(const std::vector<float>& values) {
    std::vector<uint32_t> out;
    for (float v : values) out.push_back(bits(v));
    return out;
}

inline std::vector<std::string> files_in(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
    long peak_kb = 0;  // the program's peak resident memory (run_zhost only)
};

// Runs zhost's command line inside the test process, capturing its output;
// quicker than starting the program, for tables of option checks.
RunResult run_in_process(const std::vector<std::string>& args);

// Runs the built zhost with `args` in `dir`, stdin empty, capturing output.
// With a `launcher` (a program and its arguments, found on the PATH, such
// as {"prlimit", "--as=N"}), the launcher runs zhost.
RunResult run_zhost(const std::vector<std::string>& args, const std::filesystem::path& dir,
                    const std::vector<std::string>& environment = {}, const std::vector<std::string>& launcher = {});
// The same in two steps: start the program (its output goes to files in
// `dir`; one program per directory at a time), then wait for it to end.
pid_t start_zhost(const std::vector<std::string>& args, const std::filesystem::path& dir,
                  const std::vector<std::string>& environment = {}, const std::vector<std::string>& launcher = {});
RunResult finish_zhost(pid_t pid, const std::filesystem::path& dir);

bool contains(const std::string& text, const std::string& part);
int line_count(const std::string& text);

// run_in_process with the module under test, in `dir` as working directory.
RunResult run_in(const std::filesystem::path& dir, std::vector<std::string> args);

// One refused command: exit status 1, a one-line reason that holds `reason`,
// and no new file in `dir`.
void expect_refused(const std::filesystem::path& dir, const std::vector<std::string>& args,
                    const std::string& reason);

}  // namespace ztest
