// A conformance run of one module file through the host layer, as any host
// would load it: checks the module record, activates all five servers,
// saves frames, loads a corpus of hostile depth files and composites frames,
// and writes everything it saw into an output directory. Runs of the same
// sources built for different systems must leave identical directories.
//
//   obk_conformance MODULE OUTDIR [CORPUS_DIR...]
//
// Exit status 0 when the run completed, 1 when the module or the run failed.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <span>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "host/file_requester.h"
#include "host/frame.h"
#include "host/image_filter.h"
#include "host/image_list.h"
#include "host/image_loader.h"
#include "host/messages.h"
#include "host/panel.h"
#include "host/pixel_filter.h"
#include "host/platform.h"
#include "host/scene_info.h"
#include "tests/conformance/hostile_corpus.h"

namespace fs = std::filesystem;

namespace {

// A text file of the output directory, written line by line.
class Report {
public:
    explicit Report(const std::string& name) : out_(name, std::ios::binary) {}
    template <typename... Parts>
    void line(const Parts&... parts) {
        (out_ << ... << parts) << '\n';
    }

private:
    std::ofstream out_;
};

std::string hex(uint64_t value, int digits = 16) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

// FNV-1a over bytes: a digest that names equal pixel data equally.
uint64_t digest(const void* data, std::size_t size) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ static_cast<const unsigned char*>(data)[i]) * 0x100000001B3ull;
    return hash;
}

void fail(const std::string& what) { throw host::HostError(what); }

// ---- Module record and servers ---------------------------------------------------

void check_record(const host::Module& module) {
    Report report("record.txt");
    const ModuleRecord& record = module.record();
    report.line("sync ", hex(record.sync, 8), " version ", record.version, " machine ", hex(record.machine, 3));
    if (record.sync != 0x04121994u || record.version != 3 || record.machine != 0x300) fail("wrong module record");
    for (const host::ServerInfo& server : module.servers()) report.line(server.class_name, " ", server.server_name);
}

// ---- Deterministic frames ------------------------------------------------------------

// Depths with every kind of bit pattern a renderer can leave; computed with
// plain float arithmetic, which gives the same bits everywhere.
float depth_at(int32_t x, int32_t y) {
    static const float specials[] = {
        -0.0f, std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::infinity(),
        -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(),
        std::numeric_limits<float>::max(), 1e20f, -1e20f, 3.0e38f,
    };
    if ((x + 2 * y) % 9 == 4) return specials[(x * 3 + y) % std::size(specials)];
    return 0.25f * float(x) + 3.0f * float(y) + 1.0f / float(1 + x + y);
}

float colour_at(int32_t x, int32_t y, int32_t channel) {
    return float((x * 7 + y * 13 + channel * 29) % 101) / 100.0f - 0.125f * float(channel == 3);
}

// A frame of depth_at and colour_at; `mirrored` turns its depths left to
// right, so that a depth file of the same size is nearer in some places.
host::Frame make_frame(int32_t width, int32_t height, int32_t number, bool mirrored = false) {
    host::Frame frame(width, height, number);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const std::size_t i = std::size_t(y) * std::size_t(width) + std::size_t(x);
            frame.samples(BUF_DEPTH)[i] = depth_at(mirrored ? width - 1 - x : x, y);
            for (int32_t c = 0; c < 4; ++c) frame.samples(BUF_RED + c)[i] = colour_at(x, y, c);
        }
    }
    return frame;
}

void write_frame(const host::Frame& frame, const std::string& name) {
    std::ofstream out(name, std::ios::binary);
    for (int32_t buffer : host::Frame::ALL_BUFFERS) {
        const auto samples = frame.samples(buffer);
        out.write(reinterpret_cast<const char*>(samples.data()), std::streamsize(samples.size_bytes()));
    }
}

std::string describe_values(const host::SceneValues& values) {
    std::ostringstream text;
    for (const host::SceneValue& value : values) {
        if (const auto* s = std::get_if<std::string>(&value)) text << " \"" << *s << '"';
        if (const auto* u = std::get_if<uint16_t>(&value)) text << ' ' << *u;
        if (const auto* r = std::get_if<host::ImageRef>(&value)) text << " image \"" << r->name << '"';
    }
    return text.str();
}

// ---- OBK_ZSave ---------------------------------------------------------------------------

void save_frames(const host::Module& module) {
    Report report("save.txt");
    host::MessageLog messages;
    host::ScriptedFileRequester requester("saved/depth");
    host::ImageFilter saver(module, "OBK_ZSave");
    saver.options();
    report.line("describe ", saver.instance().describe(), " flags ", hex(saver.flags(), 8));

    saver.process(make_frame(4, 3, 1));
    if (fs::file_size("saved/depth0001.zb") != 112) fail("the 4 x 3 frame's depth file is not 112 bytes");
    const struct { int32_t width, height, number; } frames[] = {{61, 37, 2}, {5, 5, -5}, {3, 2, 123456}};
    for (const auto& f : frames) saver.process(make_frame(f.width, f.height, f.number));
    // 64-bit samples, set through the scene as a host would.
    saver.instance().load({std::string("saved/wide"), uint16_t{7}, uint16_t{0}, uint16_t{0}, uint16_t{3}});
    saver.process(make_frame(33, 17, 7));
    host::SceneValues scene;
    saver.instance().save(scene);
    report.line("scene", describe_values(scene));
    saver.instance().load({std::string("missing/depth"), uint16_t{6}, uint16_t{0}, uint16_t{0}, uint16_t{2}});
    saver.process(make_frame(2, 2, 1));

    for (const host::Message& message : messages.messages()) {
        report.line("message \"", message.text.value_or("(null)"), "\" \"", message.second_text.value_or("(null)"), '"');
    }
}

// ---- OBK_ZLoad ------------------------------------------------------------------------------

void record_load(Report& report, const host::Module& module, const std::string& label, const std::string& path) {
    const host::ImageLoad load = host::load_depth_image(module, path);
    report.line(label, ": status ", load.status, " rows ", load.rows_received, "/", load.rows_announced);
    if (const auto& image = load.image) {
        report.line("  ", image->width, " x ", image->height, " x ", image->channels, " pixels ",
                    hex(digest(image->pixels.data(), image->pixels.size() * sizeof(float))));
    }
}

std::vector<fs::path> files_in(const fs::path& directory) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(directory)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

void load_corpus(const host::Module& module, const std::vector<fs::path>& corpus_dirs) {
    Report report("load.txt");
    fs::create_directory("corpus");
    for (const auto& [name, bytes] : conformance::hostile_corpus()) {
        const std::string path = "corpus/" + name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        record_load(report, module, path, path);
    }
    for (const fs::path& directory : corpus_dirs) {
        for (const fs::path& file : files_in(directory)) {
            const std::string label = directory.filename().string() + "/" + file.filename().string();
            record_load(report, module, label, host::platform::narrow_name(file));
        }
    }
    for (const fs::path& file : files_in("saved")) {
        record_load(report, module, "saved/" + file.filename().string(), host::platform::narrow_name(file));
    }
    record_load(report, module, "no such file", "corpus/missing.zb");
}

// ---- OBK_ZComp --------------------------------------------------------------------------------

host::Image comp_image(int32_t width, int32_t height) {
    host::Image image{"comp", width, height, 4, {}};
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            for (int32_t c = 0; c < 4; ++c) image.pixels.push_back(colour_at(y, x + 5, c) * 2.0f);
    return image;
}

// Composites one frame of `frame_width` x `frame_height` with the depth file
// of `depth_file` and a colour image of the given size.
void composite(const host::Module& module, Report& report, const std::string& depth_file, int32_t frame_width,
               int32_t frame_height, int32_t comp_width, int32_t comp_height, const std::string& output) {
    host::ImageLoad depth = host::load_depth_image(module, depth_file);
    if (depth.status != STATUS_OK) fail(depth_file + " does not load");
    host::ImageList images;
    const ImageId depth_id = images.add(std::move(*depth.image));
    const ImageId comp_id = images.add(comp_image(comp_width, comp_height));
    host::SceneInfo scene(frame_width, frame_height);
    host::PixelFilter compositor(module, "OBK_ZComp");
    host::ScriptedPanels panels({.choose_on_open = {{"Z-Buffer", reinterpret_cast<intptr_t>(depth_id)},
                                                    {"Comp Image", reinterpret_cast<intptr_t>(comp_id)}}});
    compositor.options();
    host::SceneValues scene_values;
    compositor.instance().save(scene_values);
    report.line(output, ": describe ", compositor.instance().describe(), " flags ", hex(compositor.flags(), 8),
                " scene", describe_values(scene_values));

    const host::Frame rendered = make_frame(frame_width, frame_height, 1, true);
    host::Frame frame = rendered;
    {
        host::RenderPass pass(compositor);
        pass.filter_frame(frame, 0.0, 1);
    }
    write_frame(frame, output);
    const std::span<const float> before = rendered.samples(BUF_RED), after = std::as_const(frame).samples(BUF_RED);
    std::size_t changed = 0;
    for (std::size_t i = 0; i < before.size(); ++i) changed += std::memcmp(&before[i], &after[i], sizeof(float)) != 0;
    report.line("  pixels whose red changed: ", changed, " of ", before.size());
}

void composite_frames(const host::Module& module) {
    Report report("composite.txt");
    composite(module, report, "saved/depth0002.zb", 97, 61, 50, 80, "composite-scaled.bin");
    composite(module, report, "saved/depth0002.zb", 61, 37, 61, 37, "composite-same-size.bin");
    composite(module, report, "saved/wide0007.zb", 33, 17, 33, 17, "composite-wide.bin");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: obk_conformance MODULE OUTDIR [CORPUS_DIR...]\n");
        return 2;
    }
    try {
        using host::platform::native_path;
        const std::string module_path = host::platform::narrow_name(fs::absolute(native_path(argv[1])));
        std::vector<fs::path> corpus_dirs;
        for (int i = 3; i < argc; ++i) corpus_dirs.push_back(fs::absolute(native_path(argv[i])));
        fs::create_directories(native_path(argv[2]));
        // Names relative to the output directory: the outputs hold no path
        // of the machine they ran on.
        fs::current_path(native_path(argv[2]));
        fs::create_directory("saved");

        const auto module = host::Module::open(module_path);
        check_record(*module);
        save_frames(*module);
        load_corpus(*module, corpus_dirs);
        composite_frames(*module);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "obk_conformance: %s\n", error.what());
        return 1;
    }
    return 0;
}
