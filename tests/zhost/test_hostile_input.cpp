// zhost on hostile input: over-long, multi-line and non-UTF-8 names, scene
// files with missing or mistyped fields, empty, reversed and huge frame
// ranges. Each is refused with one line on stderr and exit status 1 or 2,
// leaves no output behind and never crashes.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "zhost/text/one_line.h"
#include "zhost_test_support.h"

namespace fs = std::filesystem;

namespace {

std::string shown(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& arg : args) text += zhost::one_line(arg) + " ";
    return text;
}

std::string repeated(const std::string& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) all += text;
    return all;
}

const std::string USAGE_HINT = "Run 'zhost --help' or 'zhost COMMAND --help' for usage.\n";

// The refusal rules every hostile run must keep: status 1 or 2 and the
// reason on one line (a usage error adds the hint where help is found).
void expect_refused(const ztest::RunResult& run, const std::string& what) {
    EXPECT_TRUE(run.status == 1 || run.status == 2) << what << ": status " << run.status << "\n" << run.err;
    std::string reason = run.err;
    if (reason.size() > USAGE_HINT.size() && reason.compare(reason.size() - USAGE_HINT.size(), std::string::npos,
                                                            USAGE_HINT) == 0) {
        reason.resize(reason.size() - USAGE_HINT.size());
    }
    EXPECT_EQ(std::count(reason.begin(), reason.end(), '\n'), 1) << what << ":\n" << run.err;
    EXPECT_EQ(reason.rfind("zhost: ", 0), 0u) << what << ":\n" << run.err;
}

// zhost's command line inside the test process, with the module under test.
ztest::RunResult run_zhost(std::vector<std::string> args) {
    args.insert(args.begin(), {"--module", test::module_path()});
    return ztest::run_in_process(args);
}

const std::string LONG_NAME(300, 'n');             // beyond a file name's 255 bytes
const std::string LONG_PATH = [] {                  // beyond a path's 4096 bytes
    std::string path;
    while (path.size() < 5000) path += "dir/";
    return path + "x.zb";
}();

}  // namespace

TEST(OneLine, EscapesControlCharactersAndBytesThatAreNotUtf8) {
    const struct { std::string in, out; } cases[] = {
        {"plain/path.zb", "plain/path.zb"},
        {"a\nb", "a\\nb"},
        {"a\r\n\tb", "a\\r\\n\\tb"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        {"\x1b[31mred", "\\x1B[31mred"},
        {"del\x7f", "del\\x7F"},
        {"caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80"},
        {"\xff\xfe", "\\xFF\\xFE"},
        {"cut \xc3", "cut \\xC3"},
        {"overlong \xc0\xaf", "overlong \\xC0\\xAF"},
        {"surrogate \xed\xa0\x80", "surrogate \\xED\\xA0\\x80"},
        {"beyond \xf4\x90\x80\x80", "beyond \\xF4\\x90\\x80\\x80"},
        {"lone \x80 continuation", "lone \\x80 continuation"},
    };
    for (const auto& c : cases) EXPECT_EQ(zhost::one_line(c.in), c.out) << c.out;
}

TEST(ZhostHostileInput, NamesThatAreLongMultiLineOrNotUtf8AreRefusedOnOneLine) {
    test::TempDir dir;
    const std::vector<std::string> names = {
        "a\nb.zb", "line\r\nbreak.zb", "\xff\xfe.zb", "esc\x1b[2J.zb", LONG_NAME + ".zb", LONG_PATH,
    };
    for (const std::string& relative : names) {
        const std::string name = (dir / relative).string();
        // Each command with the name as the input that it reports missing.
        const std::vector<std::vector<std::string>> commands = {
            {"info", name},
            {"load", name, "-o", "out.exr"},
            {"save", name, "--base", "z", "--frame", "1"},
            {"comp", "--render", name, "--zbuffer", "z.zb", "--comp", "c.exr", "-o", "out.exr"},
            {"render", name},
            {"load", "missing.zb", "-o", name},
        };
        for (auto args : commands) {
            if (args[1] == "missing.zb") args[1] = (dir / "missing.zb").string();
            const ztest::RunResult run = run_zhost(args);
            expect_refused(run, shown(args));
            if (args[0] != "load" || args[1] == name) {
                EXPECT_NE(run.err.find(zhost::one_line(name)), std::string::npos) << shown(args) << ": name shown in " << run.err;
            }
            EXPECT_TRUE(ztest::files_in(dir.path()).empty()) << shown(args);
        }
    }
}

TEST(ZhostHostileInput, DepthFileBasesThatCannotNameAFileAreRefused) {
    test::TempDir dir;
    ztest::write_image((dir / "depth.exr").string(), 2, 2, {"Z"}, {1, 2, 3, 4});
    for (const std::string& base : {LONG_NAME, std::string(252 - 4, 'b') + "/" + LONG_NAME, LONG_PATH,
                                    std::string("no/such/dir/z")}) {
        const std::vector<std::string> args = {"save", "depth.exr", "--base", base, "--frame", "1"};
        const ztest::RunResult run = ztest::run_zhost(args, dir.path());
        expect_refused(run, shown(args));
        EXPECT_EQ(ztest::files_in(dir.path()), std::vector<std::string>{"depth.exr"}) << shown(args);
    }
}

TEST(ZhostHostileInput, FrameRangesThatAreEmptyReversedOrHugeAreRefused) {
    test::TempDir dir;
    test::write_file(dir / "scene.json",
                     test::Bytes{'{', '"', 'f', 'r', 'a', 'm', 'e', 's', '"', ':', '"', '1', '"', ',', '"', 'r', 'e',
                                 'n', 'd', 'e', 'r', '"', ':', '{', '"', 'r', 'g', 'b', 'a', '"', ':', '"', 'r', '.',
                                 'e', 'x', 'r', '"', '}', '}'});
    const std::vector<std::string> ranges = {
        "", "-", "9-1", "1-", "-1-", "1-2-3", "a-b", "1-99999999", "-2147483648-2147483647", "2147483648",
        "1-2147483648", "99999999999999999999", "0x10", " 1-2", "1-2 ", "1\n-2",
    };
    for (const std::string& range : ranges) {
        for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
                 {"render", "scene.json", "--frames", range},
                 {"save", "depth.####.exr", "--base", "z", "--frames", range},
             }) {
            const ztest::RunResult run = run_zhost(args);
            expect_refused(run, shown(args));
        }
    }
}

TEST(ZhostHostileInput, ScenesWithMissingOrMistypedFieldsAreRefusedNamingTheKey) {
    test::TempDir dir;
    const std::string render = R"("render": {"rgba": "r.####.exr"})";
    const struct { const char* name; std::string scene; const char* key; } cases[] = {
        {"empty file", "", "parse error"},
        {"not JSON", "frames = 1-2", "parse error"},
        {"cut short", "{\"frames\": \"1-2\", \"render\": {", "parse error"},
        {"not UTF-8", "{\"frames\": \"1\xff\"}", "parse error"},
        {"a list", "[1, 2]", "one JSON object"},
        {"null", "null", "one JSON object"},
        {"number beyond a double", "{\"frames\": 1e999, " + render + "}", "scene.json: number overflow"},
        {"no frames", "{" + render + "}", "frames"},
        {"frames a number", "{\"frames\": 5, " + render + "}", "frames"},
        {"frames empty", "{\"frames\": \"\", " + render + "}", "frames"},
        {"frames reversed", "{\"frames\": \"9-1\", " + render + "}", "frames"},
        {"frames huge", "{\"frames\": \"1-2000000000\", " + render + "}", "frames"},
        {"frames beyond 32 bits", "{\"frames\": \"1-4294967297\", " + render + "}", "frames"},
        {"no render", "{\"frames\": \"1\"}", "render"},
        {"render a list", "{\"frames\": \"1\", \"render\": []}", "render"},
        {"render without rgba", "{\"frames\": \"1\", \"render\": {}}", "render.rgba"},
        {"size a number", "{\"frames\": \"1\", \"size\": 640, " + render + "}", "size"},
        {"size huge", "{\"frames\": \"1\", \"size\": \"100000x100000\", " + render + "}", "size"},
        {"images an object", "{\"frames\": \"1\", \"images\": {}, " + render + "}", "images"},
        {"image without file", "{\"frames\": \"1\", \"images\": [{\"name\": \"z\"}], " + render + "}", "images[0].file"},
        {"image named twice",
         "{\"frames\": \"1\", \"images\": [{\"name\": \"z\", \"file\": \"a.zb\"}, {\"name\": \"z\", \"file\": \"b.zb\"}], " +
             render + "}", "images[1].name"},
        {"filter not an object", "{\"frames\": \"1\", \"pixel_filters\": [7], " + render + "}", "pixel_filters[0]"},
        {"filter without server", "{\"frames\": \"1\", \"image_filters\": [{}], " + render + "}", "image_filters[0].server"},
        {"u16 beyond 16 bits",
         "{\"frames\": \"1\", \"image_filters\": [{\"server\": \"OBK_ZSave\", \"settings\": [{\"u16\": 65536}]}], " +
             render + "}", "image_filters[0].settings"},
        {"u16 65535 taken, 65536 refused",
         "{\"frames\": \"1\", \"image_filters\": [{\"server\": \"OBK_ZSave\", \"settings\": [{\"u16\": 65535}, "
         "{\"u16\": 65536}]}], " + render + "}", "image_filters[0].settings[1]"},
        {"nesting of exactly 8 taken (a list is no image)",
         "{\"frames\": \"1\", " + render + ", \"images\": [[[[[[[]]]]]]]}", "images[0]"},
        {"nesting of 9 refused", "{\"frames\": \"1\", " + render + ", \"images\": [[[[[[[[]]]]]]]]}",
         "nested deeper than 8 levels"},
        {"negative u16",
         "{\"frames\": \"1\", \"image_filters\": [{\"server\": \"OBK_ZSave\", \"settings\": [{\"u16\": -1}]}], " +
             render + "}", "image_filters[0].settings"},
        {"text a number",
         "{\"frames\": \"1\", \"image_filters\": [{\"server\": \"OBK_ZSave\", \"settings\": [{\"text\": 1}]}], " +
             render + "}", "image_filters[0].settings"},
        {"answer a number",
         "{\"frames\": \"1\", \"pixel_filters\": [{\"server\": \"OBK_ZComp\", \"answers\": {\"a\\nb\": 1}}], " +
             render + "}", "answers.a\\nb"},
        {"output pattern with two placeholders", "{\"frames\": \"1\", \"output\": \"o.#.#.exr\", " + render + "}", "output"},
        {"lists nested 100000 deep", std::string(100000, '[') + std::string(100000, ']'),
         "scene.json: line 1: lists and objects nested deeper than 8 levels"},
        {"objects nested 100000 deep in a scene",
         "{\"frames\": \"1\", " + render + ",\n\"images\": [" + repeated("{\"name\": ", 100000) + "1" +
             std::string(100000, '}') + "]}",
         "scene.json: line 2: lists and objects nested deeper than 8 levels"},
    };
    for (const auto& c : cases) {
        test::write_file(dir / "scene.json", test::Bytes(c.scene.begin(), c.scene.end()));
        const ztest::RunResult run =
            run_zhost({"render", (dir / "scene.json").string(), "--save-scene", (dir / "saved.json").string()});
        expect_refused(run, c.name);
        EXPECT_NE(run.err.find(c.key), std::string::npos) << c.name << ": " << run.err;
        EXPECT_EQ(ztest::files_in(dir.path()), std::vector<std::string>{"scene.json"}) << c.name;
    }
}

// An EXR of `width` x `height` 32-bit float pixels in `channels`, stored
// without compression one scan line per chunk, that holds its header and its
// table of chunk offsets but no pixels: 131 KB that declare gigabytes.
test::Bytes hollow_exr(int32_t width, int32_t height, const std::vector<std::string>& channels) {
    test::Bytes bytes;
    const auto le32 = [&](uint32_t value) {
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(uint8_t(value >> shift));
    };
    const auto text = [&](const std::string& value) { bytes.insert(bytes.end(), value.c_str(), value.c_str() + value.size() + 1); };
    const auto attribute = [&](const std::string& name, const std::string& type, uint32_t size) {
        text(name);
        text(type);
        le32(size);
    };
    le32(20000630);  // magic
    le32(2);         // version 2, scan lines
    uint32_t list_size = 1;
    for (const std::string& name : channels) list_size += uint32_t(name.size()) + 1 + 16;
    attribute("channels", "chlist", list_size);
    for (const std::string& name : channels) {
        text(name);
        for (uint32_t field : {2u, 0u, 1u, 1u}) le32(field);  // float, pLinear, x and y sampling
    }
    bytes.push_back(0);
    attribute("compression", "compression", 1);
    bytes.push_back(0);
    for (const char* window : {"dataWindow", "displayWindow"}) {
        attribute(window, "box2i", 16);
        for (uint32_t value : {0u, 0u, uint32_t(width - 1), uint32_t(height - 1)}) le32(value);
    }
    attribute("lineOrder", "lineOrder", 1);
    bytes.push_back(0);
    attribute("pixelAspectRatio", "float", 4);
    le32(0x3F800000);
    attribute("screenWindowCenter", "v2f", 8);
    le32(0);
    le32(0);
    attribute("screenWindowWidth", "float", 4);
    le32(0x3F800000);
    bytes.push_back(0);                              // end of the header
    bytes.insert(bytes.end(), std::size_t(height) * 8, 0);  // chunk offsets, all missing
    return bytes;
}

// Hostile images that declare far more than they hold, or more than memory
// takes: refused on one line with exit status 1, and the program's peak
// memory stays far below what they declare (5 GiB and more).
TEST(ZhostHostileInput, ImagesThatDeclareGigabytesEndInOneLineWithBoundedMemory) {
    test::TempDir dir;
    const std::vector<std::string> five = {"R", "G", "B", "A", "Z"};
    std::vector<std::string> sixteen = five;
    for (int i = 0; i < 11; ++i) sixteen.push_back("aov" + std::to_string(i));
    test::write_file(dir / "five.exr", hollow_exr(16384, 16384, five));
    test::write_file(dir / "sixteen.exr", hollow_exr(16384, 16384, sixteen));
    ztest::write_image((dir / "z.exr").string(), 4, 4, {"Z"}, std::vector<float>(16, 1.0f));
    ztest::write_image((dir / "c.exr").string(), 4, 4, {"R", "G", "B"}, std::vector<float>(48, 0.5f));
    ztest::write_image((dir / "r.exr").string(), 4, 4, five, std::vector<float>(80, 0.5f));
    test::write_file(dir / "wide.zb", test::depth_file(test::header_fields(1024, 512)));
#if defined(__SANITIZE_ADDRESS__)
    const bool limits_address_space = false;  // the sanitizer's shadow memory needs terabytes of it
#else
    const bool limits_address_space = fs::exists("/usr/bin/prlimit");
#endif
    struct Case {
        const char* render;
        std::vector<std::string> options;
        std::vector<std::string> reasons;  // one of them
        std::vector<std::string> launcher;
        const char* zbuffer = "z.exr";
    };
    const Case cases[] = {
        // Beyond the default limit, or (on a machine of 48 GB or more) found empty.
        {"five.exr", {}, {"beyond the limit of", "cannot read the pixels"}, {}},
        {"sixteen.exr", {}, {"beyond the limit of", "cannot read the pixels"}, {}},
        {"sixteen.exr", {"--max-image-mb", "1000"}, {"sixteen.exr: 16384x16384 pixels of 5 channels take 5140 MB, beyond the limit of 1000 MB (--max-image-mb)"}, {}},
        // Within the limit: memory is committed only as rows arrive, and none do.
        // (A machine that will not even reserve 5 GiB of address space says so.)
        {"five.exr", {"--max-image-mb", "1000000"}, {"five.exr: cannot read the pixels", "out of memory"}, {}},
        {"sixteen.exr", {"--max-image-mb", "1000000"}, {"sixteen.exr: cannot read the pixels", "out of memory"}, {}},
        // A process that may not take it.
        {"five.exr", {"--max-image-mb", "1000000"}, {"zhost: out of memory: this command's images do not fit"},
         {"prlimit", "--as=" + std::to_string(1L << 30)}},
        // A depth file is held to the limit too, before the module loads it.
        {"r.exr", {"--max-image-mb", "1"},
         {"wide.zb: 1024x512 pixels of 1 channel take 2 MB, beyond the limit of 1 MB (--max-image-mb)"}, {}, "wide.zb"},
    };
    constexpr long BOUND_KB = 1L << 20;  // 1 GiB
    for (const Case& c : cases) {
        if (!c.launcher.empty() && !limits_address_space) {
            std::printf("skipped: a limit on the address space (prlimit) is not available in this build\n");
            continue;
        }
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"comp", "--render", c.render, "--zbuffer", c.zbuffer, "--comp", "c.exr", "-o", "o.exr"});
        const ztest::RunResult run = ztest::run_zhost(args, dir.path(), {}, c.launcher);
        const std::string what = shown(args) + (c.launcher.empty() ? "" : "under " + c.launcher[1]);
        expect_refused(run, what);
        EXPECT_EQ(run.status, 1) << what;
        EXPECT_TRUE(std::any_of(c.reasons.begin(), c.reasons.end(),
                                [&](const std::string& reason) { return ztest::contains(run.err, reason); }))
            << what << ": " << run.err;
        EXPECT_LT(run.peak_kb, BOUND_KB) << what;
        EXPECT_FALSE(fs::exists(dir / "o.exr")) << what;
    }
}

// A disk that fills up part way: zhost's outputs appear whole or not at all.
TEST(ZhostHostileInput, AFullDiskLeavesNoPartialOutput) {
    test::TempDir dir;
    test::HeaderFields h;
    h.width = 256;  // far beyond the limit below in every output format
    h.height = 256;
    test::write_file(dir / "depth.zb", test::depth_file(h));
    for (const char* out : {"depth.pfm", "depth.exr", "depth.tif", "depth.png"}) {
        const std::vector<std::string> args = {"load", "depth.zb", "-o", out};
        ztest::RunResult run;
        {
            // The program inherits the limit and the ignored signal: writes
            // beyond 4 KiB fail as on a full disk.
            rlimit saved{};
            ::getrlimit(RLIMIT_FSIZE, &saved);
            const auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
            rlimit limited = saved;
            limited.rlim_cur = 4096;
            ::setrlimit(RLIMIT_FSIZE, &limited);
            run = ztest::run_zhost(args, dir.path());
            ::setrlimit(RLIMIT_FSIZE, &saved);
            std::signal(SIGXFSZ, previous_handler);
        }
        expect_refused(run, shown(args));
        EXPECT_EQ(ztest::files_in(dir.path()), std::vector<std::string>{"depth.zb"}) << shown(args);
    }
    EXPECT_EQ(ztest::run_zhost({"load", "depth.zb", "-o", "depth.pfm"}, dir.path()).status, 0) << "room again";
}

namespace {

// A TIFF of 37x230 float noise (one strip per 8 rows or so) cut to two
// thirds of its bytes.
void write_cut_tiff(const fs::path& path, const char* compression, const std::vector<std::string>& names) {
    OIIO::ImageSpec spec(37, 230, int(names.size()), OIIO::TypeDesc::FLOAT);
    spec.channelnames = names;
    spec.attribute("compression", compression);
    std::vector<float> pixels(std::size_t(37) * 230 * names.size());
    uint32_t state = 12345;
    for (float& value : pixels) value = float((state = state * 1664525u + 1013904223u) >> 8) / 16777216.0f;
    ztest::write_image(path.string(), 37, 230, names, pixels);
    test::Bytes bytes = test::read_file(path);
    bytes.resize(bytes.size() * 2 / 3);
    test::write_file(path, bytes);
}

// One pixel of data in a display window of `size` squared.
void write_speck(const fs::path& path, int size, const std::vector<std::string>& names) {
    OIIO::ImageSpec spec(1, 1, int(names.size()), OIIO::TypeDesc::FLOAT);
    spec.full_width = spec.full_height = size;
    spec.channelnames = names;
    auto out = OIIO::ImageOutput::create(path.string());
    ASSERT_TRUE(out && out->open(path.string(), spec) &&
                out->write_image(OIIO::TypeDesc::FLOAT, std::vector<float>(names.size(), 1.0f).data()) && out->close());
}

// `width` x 2 pixels of Z whose window starts 128 short of the last 32-bit
// coordinate: TIFF stores the position as a float, exact there.
void write_window_near_the_limit(const fs::path& path, int width) {
    OIIO::ImageSpec spec(width, 2, 1, OIIO::TypeDesc::FLOAT);
    spec.x = INT32_MAX - 127;
    spec.full_width = width;
    spec.full_height = 2;
    spec.channelnames = {"Z"};
    auto out = OIIO::ImageOutput::create(path.string());
    ASSERT_TRUE(out && out->open(path.string(), spec) &&
                out->write_image(OIIO::TypeDesc::FLOAT, std::vector<float>(std::size_t(width) * 2, 1.0f).data()) &&
                out->close());
}

void make_socket(const fs::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0) << path;
    ::close(fd);  // the socket file stays
}

}  // namespace

// Inputs that are not files, that end early, or that declare far more than
// they hold: exit status 1 with one line naming the input, no output, no
// hang and little memory, in every role.
TEST(ZhostHostileInput, InputsThatAreNotFilesEndEarlyOrDeclareHugeWindowsAreRefusedCheaply) {
    test::TempDir dir;
    const fs::path d = dir.path();
    ASSERT_EQ(::mkfifo((d / "fifo.exr").c_str(), 0644), 0);
    fs::create_symlink("/dev/zero", d / "zero.exr");
    fs::create_symlink("/dev/zero", d / "zero.zb");
    make_socket(d / "socket.exr");
    write_cut_tiff(d / "cut-zip.tif", "zip", {"Z"});
    write_cut_tiff(d / "cut-none.tif", "none", {"R", "G", "B", "A", "Z"});
    write_speck(d / "speck.exr", 16384, {"Z"});
    write_speck(d / "speck5.exr", 11000, {"R", "G", "B", "A", "Z"});
    ztest::write_image((d / "z.exr").string(), 4, 4, {"Z"}, std::vector<float>(16, 1.0f));
    ztest::write_image((d / "c.exr").string(), 4, 4, {"R", "G", "B"}, std::vector<float>(48, 0.5f));
    ztest::write_image((d / "r.exr").string(), 4, 4, {"R", "G", "B", "A", "Z"}, std::vector<float>(80, 0.5f));
    ztest::write_image((d / "square.exr").string(), 1024, 1024, {"Z"}, std::vector<float>(1024 * 1024, 2.0f));
    ztest::write_image((d / "square3.exr").string(), 1024, 1024, {"R", "G", "B"}, std::vector<float>(3 << 20, 0.5f));
    ztest::write_image((d / "square5.exr").string(), 1024, 1024, {"R", "G", "B", "A", "Z"},
                       std::vector<float>(5 << 20, 1.0f));
    test::write_file(d / "scene.json", test::Bytes{'{', '}'});
    const std::vector<std::string> before = ztest::files_in(d);
    const auto comp = [](const char* role, const std::string& input) {
        std::vector<std::string> args = {"comp", "--render", "r.exr", "--zbuffer", "z.exr", "--comp", "c.exr", "-o", "o.exr"};
        *(std::find(args.begin(), args.end(), std::string(role)) + 1) = input;
        return args;
    };
    const auto save = [](const std::string& input) {
        return std::vector<std::string>{"save", input, "--base", "s", "--frame", "1"};
    };
    struct Case {
        std::vector<std::string> args;
        std::string reason;
    };
    const std::string not_regular = ": not a regular file (";
    const std::string speck_limit = " pixels of 1 channel take 1025 MB, beyond the limit of 256 MB for a file of ";
    const Case cases[] = {
        {comp("--render", "fifo.exr"), "fifo.exr" + not_regular + "a FIFO)"},
        {comp("--zbuffer", "fifo.exr"), "fifo.exr" + not_regular + "a FIFO)"},
        {comp("--comp", "zero.exr"), "zero.exr" + not_regular + "a character device)"},
        {comp("--zbuffer", "zero.zb"), "zero.zb" + not_regular + "a character device)"},
        {comp("--render", "socket.exr"), "socket.exr" + not_regular + "a socket)"},
        {save("fifo.exr"), "fifo.exr" + not_regular},
        {{"load", "zero.zb", "-o", "o.exr"}, "zero.zb" + not_regular},
        {{"info", "zero.zb"}, "zero.zb" + not_regular},
        {{"render", "fifo.exr"}, "fifo.exr" + not_regular},
        {save("cut-zip.tif"), "cut-zip.tif: cannot read the pixels"},
        // (TIFF keeps no channel names: Z is the fifth channel's.)
        {{"save", "cut-none.tif", "--depth-channel", "channel4", "--base", "s", "--frame", "1"},
         "cut-none.tif: cannot read the pixels"},
        {{"comp", "--render", "cut-none.tif", "--depth-channel", "channel4", "--zbuffer", "z.exr", "--comp", "c.exr", "-o", "o.exr"},
         "cut-none.tif: cannot read the pixels"},
        {save("speck.exr"), "speck.exr: 16384x16384" + speck_limit},
        {comp("--zbuffer", "speck.exr"), "speck.exr: 16384x16384" + speck_limit},
        {comp("--comp", "speck5.exr"), "speck5.exr: 11000x11000 pixels of 3 channels"},
        // Every image a frame holds counts: the depth and the saver's frame, 4 MB each.
        {{"--max-image-mb", "7", "save", "square.exr", "--base", "s", "--frame", "1"},
         "square.exr: the command's images would take 8 MB with this one, beyond the limit of 7 MB (--max-image-mb)"},
        // The render's frame (20 MB), its depth image (4) and comp image (12)
        // together, though any two of them fit.
        {{"--max-image-mb", "33", "comp", "--render", "square5.exr", "--zbuffer", "square.exr", "--comp", "square3.exr",
          "-o", "o.exr"},
         "beyond the limit of 33 MB (--max-image-mb)"},
    };
    const ztest::RunResult start = ztest::run_zhost({"--version"}, d);
    constexpr long ABOVE_START_KB = 300 * 1024;
    for (const Case& c : cases) {
        // A reader that waits for data without end is stopped: status 124.
        const ztest::RunResult run = ztest::run_zhost(c.args, d, {}, {"timeout", "60"});
        expect_refused(run, shown(c.args));
        EXPECT_EQ(run.status, 1) << shown(c.args);
        EXPECT_TRUE(ztest::contains(run.err, c.reason)) << shown(c.args) << ": " << run.err;
        EXPECT_LT(run.peak_kb - start.peak_kb, ABOVE_START_KB) << shown(c.args);
        EXPECT_EQ(ztest::files_in(d), before) << shown(c.args);
    }
    // A render's frame is its data window: a huge display window around one
    // pixel of data costs nothing and is kept as the output's.
    const ztest::RunResult speck = ztest::run_zhost(comp("--render", "speck5.exr"), d);
    EXPECT_EQ(speck.status, 0) << speck.err;
    EXPECT_LT(speck.peak_kb - start.peak_kb, ABOVE_START_KB);
    auto output = OIIO::ImageInput::open((d / "o.exr").string());
    ASSERT_TRUE(output);
    EXPECT_EQ(std::vector({output->spec().width, output->spec().height, output->spec().full_width}),
              std::vector({1, 1, 11000}));
    fs::remove(d / "o.exr");
    // At the limit the same save runs.
    const ztest::RunResult at_limit = ztest::run_zhost({"--max-image-mb", "8", "save", "square.exr", "--base", "s", "--frame", "1"}, d);
    EXPECT_EQ(at_limit.status, 0) << at_limit.err;
}

// A window may end at the last 32-bit coordinate (2^31 - 1), not one past it.
TEST(ZhostHostileInput, AWindowMayEndAtTheLast32BitCoordinateButNotPastIt) {
    test::TempDir dir;
    for (const auto& [width, status] : {std::pair{127, 0}, std::pair{128, 1}}) {
        const std::string name = "edge" + std::to_string(width) + ".tif";
        write_window_near_the_limit(dir / name, width);
        const ztest::RunResult run = ztest::run_zhost({"save", name, "--base", "s", "--frame", "1"}, dir.path());
        EXPECT_EQ(run.status, status) << name << ": " << run.err;
        EXPECT_EQ(ztest::contains(run.err, "reaches beyond 32-bit coordinates"), status == 1) << name << ": " << run.err;
    }
}
