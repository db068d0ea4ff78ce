// zhost on hostile input: over-long, multi-line and non-UTF-8 names, scene
// files with missing or mistyped fields, empty, reversed and huge frame
// ranges. Each is refused with one line on stderr and exit status 1 or 2,
// leaves no output behind and never crashes.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "zhost/one_line.h"
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
