// The depth saver "OBK_ZSave" through the real module: files, statistics,
// failures with their messages, settings, description and options request.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>

#include "host/file_requester.h"
#include "host/image_filter.h"
#include "host/messages.h"
#include "host/services.h"
#include "module/memory.h"
#include "test_support.h"
#include "zsave/zsave.h"

namespace fs = std::filesystem;
using host::Message;
using test::Bytes;

namespace {

constexpr uint32_t NO_MIN_BITS = 0x60AD78EC;  // +1e20f
constexpr uint32_t NO_MAX_BITS = 0xE0AD78EC;  // -1e20f
const float NaN = std::numeric_limits<float>::quiet_NaN();

uint32_t bits(float value) {
    uint32_t out;
    std::memcpy(&out, &value, 4);
    return out;
}

uint64_t bits(double value) {
    uint64_t out;
    std::memcpy(&out, &value, 8);
    return out;
}

// Reads a depth file the way any IFF reader would, independently of the
// module's own reader: every field big-endian, samples as raw bit patterns.
struct DepthFile {
    std::string form, form_type, zbuf, zbod;
    uint32_t form_size = 0, zbuf_size = 0, zbod_size = 0;
    uint32_t width = 0, height = 0;
    uint16_t value_type = 0, compression = 0, ordering = 0, units = 0;
    uint32_t min_bits = 0, max_bits = 0, background_bits = 0, scale_bits = 0, offset_bits = 0;
    std::vector<uint64_t> samples;  // 32- or 64-bit patterns
    std::size_t leftover = 0;       // bytes after the samples

    explicit DepthFile(const Bytes& bytes) : bytes_(bytes) {
        form = id(), form_size = u32(), form_type = id(), zbuf = id(), zbuf_size = u32();
        width = u32(), height = u32();
        value_type = u16(), compression = u16(), ordering = u16(), units = u16();
        min_bits = u32(), max_bits = u32(), background_bits = u32(), scale_bits = u32(), offset_bits = u32();
        zbod = id(), zbod_size = u32();
        const std::size_t sample_size = value_type == 7 ? 8 : 4;
        while (at_ + sample_size <= bytes_.size()) samples.push_back(sample_size == 8 ? u64() : u32());
        leftover = bytes_.size() - at_;
    }

private:
    uint64_t take(int count) {
        uint64_t value = 0;
        for (int i = 0; i < count; ++i) value = (value << 8) | (at_ < bytes_.size() ? bytes_[at_++] : 0);
        return value;
    }
    uint64_t u64() { return take(8); }
    uint32_t u32() { return uint32_t(take(4)); }
    uint16_t u16() { return uint16_t(take(2)); }
    std::string id() {
        std::string text;
        for (int i = 0; i < 4; ++i) text += char(take(1));
        return text;
    }
    const Bytes& bytes_;
    std::size_t at_ = 0;
};

// A frame with the given depths; the colour differs per pixel and uses
// values that a clamping or converting pass would change.
host::Frame frame_of(int32_t width, int32_t height, const std::vector<float>& depths, int32_t number = 1) {
    host::Frame frame(width, height, number);
    std::copy(depths.begin(), depths.end(), frame.samples(BUF_DEPTH).begin());
    for (int32_t i = 0; i < width * height; ++i) {
        frame.samples(BUF_RED)[i] = 1.5f + i;
        frame.samples(BUF_GREEN)[i] = -0.25f * i;
        frame.samples(BUF_BLUE)[i] = i == 1 ? NaN : 1e30f;
        frame.samples(BUF_ALPHA)[i] = 0.125f * i;
    }
    return frame;
}

std::vector<std::string> files_in(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The module, the saver server with one instance, and a directory for its files.
struct Saver {
    std::unique_ptr<host::Module> module = host::Module::open(test::module_path());
    host::ImageFilter filter{*module, "OBK_ZSave"};
    test::TempDir dir;

    ZSaveInstance& state() { return *static_cast<ZSaveInstance*>(filter.instance().get()); }
    void choose(const std::string& path) {
        host::ScriptedFileRequester requester(path);
        filter.options();
    }
    std::string base() const { return (dir / "depth").string(); }
};

void expect_samples(const DepthFile& file, const std::vector<float>& depths) {
    ASSERT_EQ(file.samples.size(), depths.size());
    for (std::size_t i = 0; i < depths.size(); ++i) {
        const uint64_t expected = file.value_type == 7 ? bits(double(depths[i])) : bits(depths[i]);
        EXPECT_EQ(file.samples[i], expected) << "sample " << i;
    }
}

}  // namespace

namespace host {
void PrintTo(const Message& m, std::ostream* out) {
    *out << '{' << (m.text ? '"' + *m.text + '"' : "null") << ", "
         << (m.second_text ? '"' + *m.second_text + '"' : "null") << '}';
}
}  // namespace host

TEST(ZSaveFile, FourByThreeFrameGivesTheExactFileAndPassesColourThrough) {
    Saver saver;
    saver.choose(saver.base());
    const std::vector<float> depths = {5, 7, 10, 6, 3, 12, 11.5f, 0.25f, 2, 2, 13, 1};
    const host::Frame input = frame_of(4, 3, depths, 7);
    const host::Frame output = saver.filter.process(input);

    test::ByteBuilder expected;
    expected.id("FORM").u32(104).id("ILBM").id("ZBUF").u32(36).u32(4).u32(3);
    expected.u16(6).u16(0).u16(0).u16(2).f32(0.25f).f32(11.5f).f32(13).f32(1).f32(0);
    expected.id("ZBOD").u32(48);
    for (float depth : depths) expected.f32(depth);
    const Bytes bytes = test::read_file(saver.dir / "depth0007.zb");
    EXPECT_EQ(bytes, expected.bytes());

    const DepthFile file(bytes);
    EXPECT_EQ(file.form + file.form_type + file.zbuf + file.zbod, "FORMILBMZBUFZBOD");
    EXPECT_EQ(file.form_size, 104u);
    EXPECT_EQ(file.zbod_size, 48u);
    EXPECT_EQ(file.min_bits, bits(0.25f));
    EXPECT_EQ(file.max_bits, bits(11.5f));
    EXPECT_EQ(file.background_bits, bits(13.0f));
    expect_samples(file, depths);
    EXPECT_EQ(file.leftover, 0u);

    for (int32_t buffer : host::Frame::COLOUR_BUFFERS) {
        for (std::size_t i = 0; i < depths.size(); ++i) {
            EXPECT_EQ(bits(output.samples(buffer)[i]), bits(input.samples(buffer)[i])) << buffer << " " << i;
        }
    }
    EXPECT_EQ(saver.filter.last_counts().rgb_set, 12u);
    EXPECT_EQ(saver.filter.last_counts().alpha_set, 12u);
    EXPECT_EQ(saver.state().header.width, 4u);
    EXPECT_EQ(saver.state().header.height, 3u);
}

TEST(ZSaveFile, NamesCarryAtLeastFourDigitsAndTheSign) {
    Saver saver;
    saver.choose(saver.base());
    const std::pair<int32_t, const char*> cases[] = {
        {0, "depth0000.zb"}, {7, "depth0007.zb"}, {123, "depth0123.zb"}, {-3, "depth-0003.zb"},
        {12345, "depth12345.zb"}, {-12345, "depth-12345.zb"},
    };
    for (const auto& [number, name] : cases) {
        fs::remove_all(saver.dir.path());
        fs::create_directory(saver.dir.path());
        saver.filter.process(frame_of(1, 1, {2}, number));
        EXPECT_EQ(files_in(saver.dir.path()), std::vector<std::string>{name}) << number;
    }
}

TEST(ZSaveFile, SequenceWritesOneFilePerFrameAndReplacesOldFiles) {
    Saver saver;
    saver.choose(saver.base());
    std::vector<host::Frame> frames;
    for (int32_t n = 1; n <= 3; ++n) frames.push_back(frame_of(2, 1, {float(n), 0.5f}, n));
    EXPECT_EQ(saver.filter.process_sequence(frames).size(), 3u);
    for (int32_t n = 1; n <= 3; ++n) {
        expect_samples(DepthFile(test::read_file(saver.dir / ("depth000" + std::to_string(n) + ".zb"))),
                       {float(n), 0.5f});
    }
    saver.filter.process(frame_of(1, 1, {9}, 2));
    EXPECT_EQ(test::read_file(saver.dir / "depth0002.zb").size(), 68u);
}

// A row of 40 depths (whole blocks and a rest, as the saver measures them):
// 100 first, `fill` after it, and `inner` from column 20 on, in a block
// that follows the farthest depth.
std::vector<float> row_of_40(std::initializer_list<float> inner, float fill, std::ptrdiff_t at = 20) {
    std::vector<float> depths(40, fill);
    depths[0] = 100;
    std::copy(inner.begin(), inner.end(), depths.begin() + at);
    return depths;
}

std::vector<float> ascending_from(float first, std::size_t count) {
    std::vector<float> depths(count);
    for (std::size_t i = 0; i < count; ++i) depths[i] = first + float(i);
    return depths;
}

TEST(ZSaveStatistics, FollowScanOrderAndSkipNaN) {
    struct Case {
        const char* what;
        int32_t width, height;
        std::vector<float> depths;
        uint32_t min, max, background;
    } cases[] = {
        {"10, 5", 2, 1, {10, 5}, bits(5.0f), bits(5.0f), bits(10.0f)},
        {"5, 10", 2, 1, {5, 10}, bits(5.0f), NO_MAX_BITS, bits(10.0f)},
        {"5, 7, 10, 6", 4, 1, {5, 7, 10, 6}, bits(5.0f), bits(6.0f), bits(10.0f)},
        {"rows before columns", 2, 2, {1, 5, 9, 2}, bits(1.0f), bits(2.0f), bits(9.0f)},
        {"all equal", 2, 2, {3.5f, 3.5f, 3.5f, 3.5f}, bits(3.5f), NO_MAX_BITS, bits(3.5f)},
        {"NaN after the minimum", 3, 1, {1, NaN, 5}, bits(1.0f), NO_MAX_BITS, bits(5.0f)},
        {"NaN first", 3, 1, {NaN, 3, 2}, bits(2.0f), bits(2.0f), bits(3.0f)},
        {"only NaN", 2, 1, {NaN, NaN}, NO_MIN_BITS, NO_MAX_BITS, NO_MAX_BITS},
        {"infinities", 3, 1, {INFINITY, 1, -INFINITY}, bits(-INFINITY), bits(1.0f), bits(INFINITY)},
        {"height 0", 4, 0, {}, NO_MIN_BITS, NO_MAX_BITS, NO_MAX_BITS},
        // Long rows: the first of equal depths counts, which shows for zeros.
        {"long row below its first depth", 40, 1, row_of_40({7, 3}, 9), bits(3.0f), bits(9.0f), bits(100.0f)},
        {"long row rising", 40, 1, ascending_from(1, 40), bits(1.0f), NO_MAX_BITS, bits(40.0f)},
        {"long rows, the farthest in the second", 40, 2, [] {
             std::vector<float> d(40, 5.0f);
             d.insert(d.end(), {6, 50, 4});
             d.resize(80, 8);
             return d;
         }(), bits(4.0f), bits(8.0f), bits(50.0f)},
        {"+0 before -0", 40, 1, row_of_40({0.0f, -0.0f}, -5), bits(-5.0f), bits(0.0f), bits(100.0f)},
        {"-0 before +0", 40, 1, row_of_40({-0.0f, 0.0f}, -5), bits(-5.0f), bits(-0.0f), bits(100.0f)},
        {"+0 the nearest", 40, 1, row_of_40({0.0f, -0.0f}, 7), bits(0.0f), bits(7.0f), bits(100.0f)},
        {"-0 the nearest", 40, 1, row_of_40({-0.0f, 0.0f}, 7), bits(-0.0f), bits(7.0f), bits(100.0f)},
        // Zeros in the first lanes of a block (columns 16 to 19).
        {"+0 before -0 at column 16", 40, 1, row_of_40({0.0f, -0.0f}, -5, 16), bits(-5.0f), bits(0.0f), bits(100.0f)},
        {"-0 before +0 at column 18", 40, 1, row_of_40({-0.0f, 0.0f}, -5, 18), bits(-5.0f), bits(-0.0f), bits(100.0f)},
        {"NaN in a long row", 40, 1, row_of_40({NaN, 3}, 4), bits(3.0f), bits(4.0f), bits(100.0f)},
        {"a depth equal to the farthest", 40, 1, row_of_40({2, 100}, 1), bits(1.0f), bits(2.0f), bits(100.0f)},
    };
    Saver saver;
    saver.choose(saver.base());
    for (const Case& c : cases) {
        saver.filter.process(frame_of(c.width, c.height, c.depths));
        const Bytes bytes = test::read_file(saver.dir / "depth0001.zb");
        const DepthFile file(bytes);
        EXPECT_EQ(file.min_bits, c.min) << c.what;
        EXPECT_EQ(file.max_bits, c.max) << c.what;
        EXPECT_EQ(file.background_bits, c.background) << c.what;
        EXPECT_EQ(bits(saver.state().header.min_depth), c.min) << c.what;
        EXPECT_EQ(bytes.size(), 64 + c.depths.size() * 4) << c.what;
        expect_samples(file, c.depths);  // NaN samples keep their bits
    }
}

// Each failure: how it is provoked, what is shown, what is left on disk.
TEST(ZSaveFailures, EveryFailureShowsItsMessageAndReleasesEverything) {
    struct Case {
        const char* what;
        std::function<void(Saver&)> arrange;
        Message message;
        long file_size;  // of depth0001.zb, or -1 for none
    };
    const auto file_name = [](Saver& s) { return (s.dir / "depth0001.zb").string(); };
    const std::string headers_failed = "OBK_ZSave:  Couldn't write headers";
    const Case cases[] = {
        {"empty name", [](Saver& s) { s.choose(""); }, {"OBK_ZSave:  No filename selected.", std::nullopt}, -1},
        {"depth line missing for the statistics",
         [](Saver& s) { s.filter.set_line_filter([](int32_t b, int32_t row) { return b != BUF_DEPTH || row != 1; }); },
         {"OBK_ZSave:  Couldn't get depth buffer pointer.", std::nullopt}, -1},
        {"depth line missing for the body",
         [](Saver& s) {
             s.filter.set_line_filter([fetches = 0](int32_t b, int32_t row) mutable {
                 return b != BUF_DEPTH || row != 1 || ++fetches == 1;
             });
         },
         {"OBK_ZSave:  Couldn't get depth buffer pointer.", std::nullopt}, 64 + 16},
        {"headers on a full disk",
         [&](Saver& s) { fs::create_symlink("/dev/full", file_name(s)); },
         {headers_failed, std::nullopt}, 0},
    };
    for (const Case& c : cases) {
#if defined(_WIN32)
        if (c.message.text == headers_failed) {
            test::skip_case(c.what, "needs /dev/full, a file that refuses every write");
            continue;
        }
#endif
        for (bool with_messages : {true, false}) {
            Saver saver;
            saver.choose(saver.base());
            c.arrange(saver);
            auto log = with_messages ? std::make_unique<host::MessageLog>() : nullptr;
            const std::size_t descriptors = test::open_descriptors();
            saver.filter.process(frame_of(4, 3, std::vector<float>(12, 1.0f)));
            EXPECT_EQ(test::open_descriptors(), descriptors) << c.what;
            Message expected = c.message;
            if (c.message.text == headers_failed) expected.second_text = file_name(saver);
            if (log) {
                EXPECT_EQ(log->messages(), std::vector<Message>{expected}) << c.what;
            }
            const fs::path path = saver.dir / "depth0001.zb";
            if (c.file_size < 0) {
                EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << c.what;
            } else if (!fs::is_symlink(path)) {
                EXPECT_EQ(long(fs::file_size(path)), c.file_size) << c.what;
            }
        }
    }
}

TEST(ZSaveFailures, EmptyNameLeavesColourAndStatisticsAlone) {
    Saver saver;
    saver.choose(saver.base());
    saver.filter.process(frame_of(2, 1, {4, 2}));
    saver.choose("");
    const ZSaveInstance before = saver.state();
    saver.filter.process(frame_of(3, 1, {1, 1, 1}));
    EXPECT_EQ(std::memcmp(&before, &saver.state(), sizeof before), 0);
    EXPECT_EQ(saver.filter.last_counts().rgb_set + saver.filter.last_counts().alpha_set, 0u);
}

TEST(ZSaveFailures, MissingStatisticsLineKeepsTheValuesReached) {
    Saver saver;
    saver.choose(saver.base());
    saver.filter.set_line_filter([](int32_t b, int32_t row) { return b != BUF_DEPTH || row != 1; });
    saver.filter.process(frame_of(4, 2, {5, 7, 10, 6, 1, 1, 1, 1}));
    EXPECT_EQ(bits(saver.state().header.min_depth), bits(5.0f));
    EXPECT_EQ(bits(saver.state().header.max_depth), bits(6.0f));
    EXPECT_EQ(bits(saver.state().header.background_depth), bits(10.0f));
    EXPECT_EQ(saver.filter.last_counts().rgb_set, 8u) << "the colour still passes through";
}

TEST(ZSaveFailures, UnopenableFilesKeepTheLastOpenedSize) {
    Saver saver;
    fs::path plain_file = saver.dir / "plain";
    test::write_file(plain_file, {1});
    const std::string long_base = (saver.dir / std::string(253 - saver.base().size() + 5, 'n')).string();
    struct Case { std::string base, second_text; } cases[] = {
        {(saver.dir / "missing" / "depth").string(), ""},
        {(plain_file / "depth").string(), ""},
        {"/proc/depth", ""},
        {long_base, long_base},  // 253 characters: the name would need 260
    };
    for (Case& c : cases) {
        if (c.second_text.empty()) c.second_text = c.base + "0001.zb";
        saver.choose(c.base);
        host::MessageLog log;
        const std::size_t descriptors = test::open_descriptors();
        saver.filter.process(frame_of(2, 1, {8, 3}));
        EXPECT_EQ(log.messages(), (std::vector<Message>{{"OBK_ZSave:  Couldn't open output file", c.second_text}})) << c.base;
        EXPECT_EQ(test::open_descriptors(), descriptors);
        EXPECT_EQ(bits(saver.state().header.min_depth), bits(3.0f)) << "statistics are measured first";
        EXPECT_EQ(saver.state().header.width, 0u);
        EXPECT_EQ(saver.state().header.height, 0u);
    }
    EXPECT_EQ(files_in(saver.dir.path()), std::vector<std::string>{"plain"});

    // 252 characters still fit with four digits.
    const std::string longest = long_base.substr(0, 252);
    saver.choose(longest);
    saver.filter.process(frame_of(2, 1, {8, 3}));
    EXPECT_TRUE(fs::exists(longest + "0001.zb"));
}

TEST(ZSaveFailures, RowThatCannotBeWrittenEndsTheFile) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs RLIMIT_FSIZE to make the disk refuse a row";
#else
    // The disk takes the headers and what follows of the rows of 16 bytes
    // up to the limit, then no more.
    const struct { const char* what; rlim_t limit; } cases[] = {
        {"full after row 0", 64 + 16},
        {"full 6 bytes into the last row", 64 + 2 * 16 + 6},
    };
    for (const auto& c : cases) {
        Saver saver;
        saver.choose(saver.base());
        host::MessageLog log;
        const std::size_t descriptors = test::open_descriptors();
        {
            rlimit saved{};
            getrlimit(RLIMIT_FSIZE, &saved);
            const auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
            rlimit limited = saved;
            limited.rlim_cur = c.limit;
            setrlimit(RLIMIT_FSIZE, &limited);
            saver.filter.process(frame_of(4, 3, std::vector<float>(12, 2.0f)));
            setrlimit(RLIMIT_FSIZE, &saved);
            std::signal(SIGXFSZ, previous_handler);
        }
        const std::string name = (saver.dir / "depth0001.zb").string();
        EXPECT_EQ(log.messages(), (std::vector<Message>{{"OBK_ZSave:  Error while writing", name}})) << c.what;
        EXPECT_EQ(log.error_numbers(), std::vector<int>{EFBIG}) << c.what << ": the system's reason, kept";
        EXPECT_EQ(fs::file_size(name), c.limit) << c.what;
        EXPECT_EQ(test::open_descriptors(), descriptors) << c.what;
    }
#endif
}

TEST(ZSaveFailures, FramesNoDepthFileCanHoldAreRefused) {
    Saver saver;
    saver.choose(saver.base());
    host::MessageLog log;
    saver.filter.process(host::Frame(0, 3, 1));
    EXPECT_EQ(log.messages(), (std::vector<Message>{{"OBK_ZSave:  Frame size doesn't fit a depth file", std::nullopt}}));
    EXPECT_TRUE(files_in(saver.dir.path()).empty());

    // A host handing out a negative size reaches the same refusal.
    ImageHandlerRecord handler{};
    InstanceOps ops{};
    handler.instance_ops = &ops;
    ASSERT_EQ(saver.module->activate("ImageFilterHandler", "OBK_ZSave", &handler), ACTIVATE_OK);
    FilterAccess access{};
    access.width = -4;
    access.height = 2;
    access.get_line = [](int32_t, int32_t) -> float* {
        static float row[4];
        return row;
    };
    handler.process(saver.filter.instance().get(), &access);
    EXPECT_EQ(log.messages().back(), (Message{"OBK_ZSave:  Frame size doesn't fit a depth file", std::nullopt}));
    EXPECT_EQ(log.size(), 2u);

    const struct { int32_t width, height; uint16_t type; bool storable; } sizes[] = {
        {1, 0, 6, true}, {0, 1, 6, false}, {-1, 1, 6, false}, {1, -1, 6, false},
        {16384, 32767, 6, true}, {16384, 32768, 6, false},  // FORM size from 2^31 on
        {16384, 16383, 7, true}, {16384, 16384, 7, false},
        {INT32_MAX, 1, 6, false}, {536870897, 1, 6, true}, {536870898, 1, 6, false}, {268435456, 1, 7, false},
    };
    for (const auto& s : sizes) {
        EXPECT_EQ(zsave_frame_storable(s.width, s.height, s.type), s.storable) << s.width << " x " << s.height;
    }
}

TEST(ZSaveColour, MissingLinesSkipOnlyWhatTheyCarry) {
    Saver saver;
    saver.choose(saver.base());
    const struct { int32_t missing; uint64_t rgb, alpha; } cases[] = {
        {BUF_RED, 4, 4}, {BUF_GREEN, 4, 4}, {BUF_BLUE, 4, 4}, {BUF_ALPHA, 6, 4},
    };
    for (const auto& c : cases) {
        saver.filter.set_line_filter([&](int32_t b, int32_t row) { return b != c.missing || row != 1; });
        const host::Frame output = saver.filter.process(frame_of(2, 3, {1, 2, 3, 4, 5, 6}));
        EXPECT_EQ(saver.filter.last_counts().rgb_set, c.rgb) << c.missing;
        EXPECT_EQ(saver.filter.last_counts().alpha_set, c.alpha) << c.missing;
        EXPECT_EQ(output.samples(BUF_RED)[2], c.missing == BUF_ALPHA ? 3.5f : 0.0f) << c.missing;
        EXPECT_EQ(output.samples(BUF_ALPHA)[2], 0.0f) << "row 1 got no alpha";
        expect_samples(DepthFile(test::read_file(saver.dir / "depth0001.zb")), {1, 2, 3, 4, 5, 6});
    }
}

// Value types and layouts that a scene may carry: every file must still be
// one that the reader accepts and that holds the frame's depths.
TEST(ZSaveSettings, EveryFileMatchesItsHeader) {
    const struct { uint16_t type, compression, ordering, written_type; } cases[] = {
        {6, 0, 0, 6}, {7, 0, 0, 7}, {0, 0, 0, 6}, {9, 0, 0, 6}, {6, 1, 0, 6}, {7, 0, 3, 7}, {6, 65535, 65535, 6},
    };
    const std::vector<float> depths = {0.1f, -2, NaN, 1e-40f, 3, 4};
    for (const auto& c : cases) {
        Saver saver;
        saver.filter.instance().load({saver.base(), c.type, c.compression, c.ordering, uint16_t{5}});
        saver.filter.process(frame_of(3, 2, depths));
        const Bytes bytes = test::read_file(saver.dir / "depth0001.zb");
        const DepthFile file(bytes);
        EXPECT_EQ(file.value_type, c.written_type);
        EXPECT_EQ(file.compression + file.ordering, 0);
        EXPECT_EQ(file.units, 5);
        EXPECT_EQ(file.zbod_size, depths.size() * (c.written_type == 7 ? 8 : 4));
        EXPECT_EQ(file.form_size, bytes.size() - 8);
        expect_samples(file, depths);

        std::FILE* stream = test::stream_of(bytes);
        ZBufHeader header{};
        EXPECT_TRUE(read_zbuf_headers(stream, &header)) << c.type << " " << c.compression << " " << c.ordering;
        std::fclose(stream);

        host::SceneValues saved;  // the scene keeps what it gave
        saver.filter.instance().save(saved);
        EXPECT_EQ(saved, (host::SceneValues{saver.base(), c.type, c.compression, c.ordering, uint16_t{5}}));
    }
}

TEST(ZSaveSettings, NewInstanceHoldsTheDefaults) {
    Saver saver;
    const ZSaveInstance& s = saver.state();
    EXPECT_EQ(s.host_global, &host::host_global);
    EXPECT_STREQ(s.full_name, "zbuf");
    EXPECT_STREQ(s.directory, "");
    EXPECT_STREQ(s.base_name, "zbuf");
    EXPECT_STREQ(s.description, "");
    ZBufHeader expected{};
    expected.value_type = 6;
    expected.units = 2;
    expected.scale = 1.0f;
    EXPECT_EQ(std::memcmp(&s.header, &expected, sizeof expected), 0);
    EXPECT_EQ(saver.filter.flags(), 4096u);
    EXPECT_EQ(saver.filter.instance().describe(), "OBK_ZSave:  zbuf####.zb");
}

TEST(ZSaveSettings, SaveAndLoadCarryNameAndFourValues) {
    Saver saver;
    saver.choose("/renders/shot/depth");
    saver.filter.instance().load({std::string("/renders/shot/depth"), uint16_t{7}, uint16_t{1}, uint16_t{2}, uint16_t{9}});
    host::SceneValues saved;
    saver.filter.instance().save(saved);
    EXPECT_EQ(saved, (host::SceneValues{std::string("/renders/shot/depth"), uint16_t{7}, uint16_t{1}, uint16_t{2},
                                         uint16_t{9}}));

    host::Instance loaded(saver.filter.instance().ops());
    loaded.load(saved);
    const auto& s = *static_cast<const ZSaveInstance*>(loaded.get());
    EXPECT_STREQ(s.full_name, "/renders/shot/depth");
    EXPECT_EQ(s.header.value_type, 7);
    EXPECT_EQ(s.header.compression, 1);
    EXPECT_EQ(s.header.ordering, 2);
    EXPECT_EQ(s.header.units, 9);
    EXPECT_STREQ(s.directory, "");
    EXPECT_EQ(loaded.describe(), "OBK_ZSave:  zbuf####.zb");

    // A scene value longer than the buffer arrives cut and terminated.
    loaded.load({std::string(400, 'q')});
    EXPECT_EQ(std::string(s.full_name), std::string(259, 'q'));
}

TEST(ZSaveSettings, CopyAfterAFrameCarriesEverything) {
    Saver saver;
    saver.choose(saver.base());
    saver.filter.process(frame_of(3, 2, {4, 9, 1, 6, 2, 2}));
    host::Instance copy(saver.filter.instance().ops());
    copy.copy_from(saver.filter.instance());
    EXPECT_EQ(std::memcmp(copy.get(), &saver.state(), sizeof(ZSaveInstance)), 0);
    const auto& header = static_cast<const ZSaveInstance*>(copy.get())->header;
    EXPECT_EQ(header.width, 3u);
    EXPECT_EQ(header.height, 2u);
    EXPECT_EQ(bits(header.max_depth), bits(6.0f));
}

TEST(ZSaveDescribe, ShowsTheBaseNameShortenedWhenLong) {
    const std::string head(52, 'h'), tail(53, 't');
    const std::string euro = "\xE2\x82\xAC";  // three bytes
    const struct { std::string base, shown; } cases[] = {
        {"zbuf", "zbuf"},
        {std::string(108, 'x'), std::string(108, 'x')},
        {head + std::string(4, 'm') + tail, head + "..." + tail},
        {head + std::string(150, 'm') + tail, head + "..." + tail},
        {std::string(51, 'h') + euro + std::string(100, 'm'), std::string(51, 'h') + "..." + std::string(53, 'm')},
        {std::string(100, 'm') + euro + std::string(51, 't'), std::string(52, 'm') + "..." + std::string(51, 't')},
    };
    Saver saver;
    for (const auto& c : cases) {
        // Joined as text: the name's bytes reach the requester unconverted.
        saver.choose(saver.dir.path().string() + "/" + c.base);
        EXPECT_EQ(saver.filter.instance().describe(), "OBK_ZSave:  " + c.shown + "####.zb") << c.base.size();
    }
}

TEST(ZSaveOptions, RequestCarriesItsRecordAndTheChoiceIsUsedAtOnce) {
    Saver saver;
    host::ScriptedFileRequester requester(saver.base());
    saver.filter.options();
    const std::vector<host::FileRequestRecord> requests = requester.requests();
    ASSERT_EQ(requests.size(), 1u);
    const host::FileRequestRecord& r = requests[0];
    EXPECT_EQ(r.version, 3);
    EXPECT_EQ(r.request_kind, 2);
    EXPECT_EQ(r.title, "Z Buffer Base Name");
    EXPECT_EQ(r.file_type, std::nullopt);
    EXPECT_EQ(r.buffer_length, 260);
    EXPECT_EQ(r.directory, "");
    EXPECT_EQ(r.base_name, "zbuf");
    EXPECT_EQ(r.full_name, "zbuf");
    EXPECT_FALSE(r.has_pick_callback);
    EXPECT_STREQ(saver.state().directory, saver.dir.path().string().c_str());
    EXPECT_STREQ(saver.state().base_name, "depth");
    saver.filter.process(frame_of(1, 1, {1}));
    EXPECT_TRUE(fs::exists(saver.dir / "depth0001.zb"));

    requester.set_cancelling(true);
    saver.filter.options();
    EXPECT_STREQ(saver.state().full_name, saver.base().c_str());
    EXPECT_EQ(requester.requests().back().full_name, saver.base());
}

TEST(ZSaveOptions, WithoutARequesterTheNamesStay) {
    Saver saver;
    saver.choose(saver.base());
    const ZSaveInstance before = saver.state();
    try {
        saver.filter.options();
        FAIL() << "options succeeded without a file requester";
    } catch (const host::HostError& error) {
        EXPECT_STREQ(error.what(), "Couldn't open the file dialog.");
    }
    EXPECT_EQ(std::memcmp(&before, &saver.state(), sizeof before), 0);
}

// The allocation hook lives in the static library, so these call the
// saver's operations there directly.
TEST(ZSaveAllocation, FailedAllocationsAreReported) {
    const char* error_text = nullptr;
    obk_fail_allocation_after(1);
    EXPECT_EQ(zsave_create(host::host_global, nullptr, &error_text), nullptr);
    EXPECT_STREQ(error_text, "Couldn't allocate instance data.");

    test::TempDir dir;
    void* instance = zsave_create(host::host_global, nullptr, &error_text);
    ASSERT_NE(instance, nullptr);
    auto& state = *static_cast<ZSaveInstance*>(instance);
    std::snprintf(state.full_name, sizeof state.full_name, "%s", (dir / "depth").string().c_str());
    const host::Frame input = frame_of(2, 2, {4, 3, 2, 1});
    host::Frame output(2, 2, 1, host::Frame::COLOUR_BUFFERS);
    host::MessageLog log;
    {
        host::FilterSession session(input, output);
        obk_fail_allocation_after(1);
        zsave_process(instance, session.access());
        obk_fail_allocation_after(0);
        EXPECT_EQ(session.counts().rgb_set, 4u);
    }
    EXPECT_EQ(log.messages(), (std::vector<Message>{{"OBK_ZSave:  Couldn't allocate depth buffer scanline.", std::nullopt}}));
    EXPECT_TRUE(files_in(dir.path()).empty());
    EXPECT_EQ(bits(state.header.max_depth), bits(3.0f)) << "statistics come before the row buffer";
    zsave_destroy(instance);
    zsave_destroy(nullptr);
}
