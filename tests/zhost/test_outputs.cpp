// zhost's outputs under duress, run as real processes: killed with SIGKILL
// at any moment, two runs at once on the same names, a full disk. Every
// destination is either as it was or one run's whole file, each frame's
// files move into place only once the frame succeeded, and what a killed
// run left hidden is gone after the next run. Also: symbolic links and modes
// of replaced files, and messages that name destinations, escaped.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "zhost/files/staging.h"
#include "zhost_test_support.h"

namespace {

namespace fs = std::filesystem;
using ztest::contains;

constexpr int W = 96, H = 64, FRAMES = 4;

std::string numbered(const std::string& stem, int frame, const std::string& extension) {
    char number[16];
    std::snprintf(number, sizeof number, "%04d", frame);
    return stem + number + extension;
}

void write_text(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

// Render (RGBA, Z), depth (Z) and composite (RGBA) images whose values
// change with the frame and with `variant`, so that two runs differ.
void write_inputs(const fs::path& dir, const std::string& variant = "", int width = W, int height = H) {
    const float shift = variant.empty() ? 0.0f : 0.5f;
    for (int frame = 1; frame <= FRAMES; ++frame) {
        std::vector<float> render, depth;
        for (int i = 0; i < width * height; ++i) {
            for (int c = 0; c < 4; ++c) render.push_back(ztest::sample(i, c) + float(frame) + shift);
            render.push_back(float(i % 11) + shift);
            depth.push_back(float((i + frame) % 13) * 0.9f);
        }
        ztest::write_image((dir / numbered("render" + variant + ".", frame, ".exr")).string(), width, height,
                           {"R", "G", "B", "A", "Z"}, render);
        ztest::write_image((dir / numbered("depth.", frame, ".exr")).string(), width, height, {"Z"}, depth);
    }
    ztest::write_image((dir / "comp.exr").string(), width, height, {"R", "G", "B", "A"},
                       ztest::samples(width * height, 4));
}

std::string scene(const std::string& variant) {
    return R"({"frames": "1-4", "render": {"rgba": "render)" + variant + R"(.####.exr"},
  "images": [{"name": "zb", "file": "z####.zb"}, {"name": "comp", "file": "comp.exr"}],
  "pixel_filters": [{"server": "OBK_ZComp", "settings": [{"image": "zb"}, {"image": "comp"}]}],
  "image_filters": [{"server": "OBK_ZSave",
                     "settings": [{"text": "out/s"}, {"u16": 6}, {"u16": 0}, {"u16": 0}, {"u16": 2}]}],
  "output": "out/f.####.exr"})";
}

// A command and the files it writes into out/, frame by frame (the groups
// that move into place together), in the order it writes them.
struct Command {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::vector<std::string>> groups;
};

std::vector<std::vector<std::string>> per_frame(const std::vector<std::pair<std::string, std::string>>& files) {
    std::vector<std::vector<std::string>> groups;
    for (int frame = 1; frame <= FRAMES; ++frame) {
        groups.emplace_back();
        for (const auto& [stem, extension] : files) groups.back().push_back(numbered("out/" + stem, frame, extension));
    }
    return groups;
}

std::vector<Command> commands() {
    std::vector<Command> list = {
        {"render", {"render", "scene.json"}, per_frame({{"s", ".zb"}, {"f.", ".exr"}})},
        {"demo", {"demo", "--out", "out", "--frame-count", "4", "--size", "96x64"},
         per_frame({{"first", ".png"}, {"second", ".png"}, {"first-depth", ".png"}, {"second-depth", ".png"},
                    {"zbuf", ".zb"}, {"composite", ".png"}, {"composite-depth", ".png"}})},
        {"save", {"save", "depth.####.exr", "--frames", "1-4", "--base", "out/s"}, per_frame({{"s", ".zb"}})},
        {"load", {"load", "z####.zb", "-o", "out/l.####.exr", "--frames", "1-4"}, per_frame({{"l.", ".exr"}})},
        {"comp", {"comp", "--render", "render.####.exr", "--zbuffer", "z####.zb", "--comp", "comp.exr", "-o",
                  "out/c.####.exr", "--frames", "1-4"},
         per_frame({{"c.", ".exr"}})},
    };
    list[1].groups.push_back({"out/contact-sheet.png"});
    return list;
}

// The inputs of every command in `dir`, out/ made.
void prepare(const fs::path& dir) {
    write_inputs(dir);
    write_text(dir / "scene.json", scene(""));
    ASSERT_EQ(ztest::run_zhost({"save", "depth.####.exr", "--frames", "1-4", "--base", "z"}, dir).status, 0);
    fs::create_directories(dir / "out");
}

// Whether `path` holds the same output as `reference`: the same bytes for
// depth files, the same size and pixels for images.
bool same_output(const fs::path& path, const fs::path& reference) {
    if (path.extension() == ".zb") return test::read_file(path) == test::read_file(reference);
    auto a = OIIO::ImageInput::open(path.string());
    auto b = OIIO::ImageInput::open(reference.string());
    if (!a || !b) return false;
    const OIIO::ImageSpec& sa = a->spec();
    const OIIO::ImageSpec& sb = b->spec();
    if (sa.width != sb.width || sa.height != sb.height || sa.nchannels != sb.nchannels) return false;
    std::vector<float> pa(sa.image_pixels() * std::size_t(sa.nchannels)), pb(pa.size());
    return a->read_image(0, 0, 0, sa.nchannels, OIIO::TypeDesc::FLOAT, pa.data()) &&
           b->read_image(0, 0, 0, sb.nchannels, OIIO::TypeDesc::FLOAT, pb.data()) &&
           ztest::bits_of(pa) == ztest::bits_of(pb);
}

std::vector<std::string> hidden_names(const fs::path& dir) {
    std::vector<std::string> names;
    for (const std::string& name : ztest::files_in(dir)) {
        if (name.rfind(".zhost-", 0) == 0) names.push_back(name);
    }
    return names;
}

// Copies of a complete run's outputs, to compare with.
void keep_reference(const fs::path& dir, const Command& command, const fs::path& reference) {
    fs::create_directories(reference / "out");
    for (const auto& group : command.groups) {
        for (const std::string& file : group) fs::copy_file(dir / file, reference / file, fs::copy_options::overwrite_existing);
    }
}

void put_previous(const fs::path& dir, const Command& command, const std::string& previous) {
    for (const auto& group : command.groups) {
        for (const std::string& file : group) write_text(dir / file, previous);
    }
}

// How many files of each group hold the previous content and how many the
// complete new output; anything else is a fault, reported.
struct GroupState {
    std::size_t previous = 0, complete = 0;
};

std::vector<GroupState> group_states(const fs::path& dir, const Command& command, const fs::path& reference,
                                     const std::string& previous, const std::string& when) {
    std::vector<GroupState> states;
    for (const auto& group : command.groups) {
        GroupState state;
        for (const std::string& file : group) {
            const test::Bytes bytes = test::read_file(dir / file);
            if (fs::exists(dir / file) && std::string(bytes.begin(), bytes.end()) == previous) {
                ++state.previous;
            } else if (same_output(dir / file, reference / file)) {
                ++state.complete;
            } else {
                ADD_FAILURE() << command.name << " " << when << ": " << file << " is neither as it was nor whole";
            }
        }
        states.push_back(state);
    }
    return states;
}

// Groups move into place in order: complete groups, then at most one group
// being moved (a kill between two renames), then groups as they were.
void expect_committed_in_order(const std::vector<GroupState>& states, const Command& command, const std::string& when) {
    std::size_t at = 0;
    while (at < states.size() && states[at].previous == 0) ++at;
    if (at < states.size() && states[at].complete > 0) ++at;
    for (; at < states.size(); ++at) {
        EXPECT_EQ(states[at].complete, 0u) << command.name << " " << when << ": group " << at << " moved out of order";
    }
}

bool has_ended(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == pid;
}

// Waits while the program starts up (loading its libraries takes most of a
// short run): until a new hidden file appears or an output changes, or the
// program ends.
void wait_for_work(pid_t pid, const fs::path& dir, const Command& command, const std::string& previous,
                   const std::vector<std::string>& hidden_before) {
    const auto working = [&] {
        if (hidden_names(dir / "out") != hidden_before) return true;
        const test::Bytes first = test::read_file(dir / command.groups[0][0]);
        return std::string(first.begin(), first.end()) != previous;
    };
    while (!working() && !has_ended(pid)) std::this_thread::sleep_for(std::chrono::microseconds(200));
}

TEST(ZhostOutputs, AKillAtAnyMomentLeavesEachFileAsItWasOrWholeAndTheNextRunLeavesNothingHidden) {
    test::TempDir dir;
    prepare(dir.path());
    const std::string previous = "previous\n";
    std::size_t leftovers_seen = 0;
    for (const Command& command : commands()) {
        // A whole run, timed from when its work shows to its end.
        put_previous(dir.path(), command, previous);
        const pid_t timed = ztest::start_zhost(command.args, dir.path());
        wait_for_work(timed, dir.path(), command, previous, hidden_names(dir / "out"));
        const auto started = std::chrono::steady_clock::now();
        while (!has_ended(timed)) std::this_thread::sleep_for(std::chrono::microseconds(200));
        const auto work = std::chrono::steady_clock::now() - started;
        const ztest::RunResult whole = ztest::finish_zhost(timed, dir.path());
        ASSERT_EQ(whole.status, 0) << command.name << ": " << whole.err;
        const fs::path reference = dir / "reference" / command.name;
        keep_reference(dir.path(), command, reference);
        const int attempts = ztest::SANITIZED ? 3 : 5;
        for (int attempt = 0; attempt < attempts; ++attempt) {
            const std::string when =
                "killed at " + std::to_string(attempt) + "/" + std::to_string(attempts) + " of its work";
            put_previous(dir.path(), command, previous);
            const std::vector<std::string> hidden_before = hidden_names(dir / "out");
            const pid_t pid = ztest::start_zhost(command.args, dir.path());
            wait_for_work(pid, dir.path(), command, previous, hidden_before);
            std::this_thread::sleep_for(work * attempt / attempts);
            ::kill(pid, SIGKILL);
            ztest::finish_zhost(pid, dir.path());
            expect_committed_in_order(group_states(dir.path(), command, reference, previous, when), command, when);
            leftovers_seen += hidden_names(dir / "out").size();
        }
        const ztest::RunResult next = ztest::run_zhost(command.args, dir.path());
        ASSERT_EQ(next.status, 0) << command.name << ": " << next.err;
        for (const GroupState& state : group_states(dir.path(), command, reference, previous, "after the next run")) {
            EXPECT_EQ(state.previous, 0u) << command.name;
        }
        EXPECT_EQ(hidden_names(dir / "out"), std::vector<std::string>{}) << command.name << ": left after the next run";
    }
    EXPECT_GT(leftovers_seen, 0u) << "no kill left anything hidden: the removal of leftovers went untried";
}

TEST(ZhostOutputs, TwoRendersAtOnceOnTheSameNamesCommitOnlyWholeFilesOfOneRun) {
    test::TempDir dir;
    // Large depth files (4 MiB, written row by row) and little else to do per
    // frame, so that the two runs write the same file at the same time.
    constexpr int SIDE = 1024, RENDER_FRAMES = 8;
    for (const char* run : {"a", "b"}) {
        std::vector<float> depth(SIDE * SIDE);
        for (std::size_t i = 0; i < depth.size(); ++i) depth[i] = float(i) * (*run == 'a' ? 1.0f : -1.0f);
        ztest::write_image((dir / (std::string(run) + ".exr")).string(), SIDE, SIDE, {"Z"}, depth);
        write_text(dir / (std::string(run) + ".json"),
                   R"({"frames": "1-8", "render": {"rgba": ")" + std::string(run) + R"(.exr"},
                       "image_filters": [{"server": "OBK_ZSave", "settings": [{"text": "out/s"}]}]})");
        fs::create_directories(dir / ("run-" + std::string(run)));
    }
    fs::create_directories(dir / "out");
    for (const char* run : {"a", "b"}) {
        ASSERT_EQ(ztest::run_zhost({"render", std::string(run) + ".json"}, dir.path()).status, 0) << run;
        fs::copy(dir / "out", dir / ("reference-" + std::string(run)));
    }
    for (int round = 1; round <= (ztest::SANITIZED ? 2 : 6); ++round) {
        const pid_t a = ztest::start_zhost({"render", "../a.json"}, dir / "run-a");
        const pid_t b = ztest::start_zhost({"render", "../b.json"}, dir / "run-b");
        const ztest::RunResult ra = ztest::finish_zhost(a, dir / "run-a");
        const ztest::RunResult rb = ztest::finish_zhost(b, dir / "run-b");
        ASSERT_EQ(ra.status, 0) << ra.err;
        ASSERT_EQ(rb.status, 0) << rb.err;
        for (int frame = 1; frame <= RENDER_FRAMES; ++frame) {
            const std::string file = numbered("s", frame, ".zb");
            const test::Bytes bytes = test::read_file(dir / "out" / file);
            EXPECT_TRUE(bytes == test::read_file(dir / "reference-a" / file) ||
                        bytes == test::read_file(dir / "reference-b" / file))
                << "round " << round << ": " << file << " is not one run's whole file";
        }
        EXPECT_EQ(hidden_names(dir / "out"), std::vector<std::string>{}) << "round " << round;
    }
}

// A small file system of its own, unmounted when the object goes.
class SmallDisk {
public:
    explicit SmallDisk(const fs::path& at) : at_(at) {
        fs::create_directories(at);
        mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, "size=8m") == 0;
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    // Fills the disk so that `bytes` stay free.
    void leave_free(uint64_t bytes) const {
        struct statvfs info {};
        ASSERT_EQ(::statvfs(at_.c_str(), &info), 0);
        const uint64_t free = uint64_t(info.f_bavail) * info.f_frsize;
        ASSERT_GT(free, bytes);
        const int fd = ::open((at_ / "filler").c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(::posix_fallocate(fd, 0, off_t(free - bytes)), 0);
        ::close(fd);
    }

private:
    fs::path at_;
    bool mounted_ = false;
};

uint64_t disk_bytes(const fs::path& dir, const std::vector<std::string>& files) {
    uint64_t bytes = 0;
    for (const std::string& file : files) bytes += (fs::file_size(dir / file) + 4095) / 4096 * 4096;
    return bytes;
}

TEST(ZhostOutputs, AFullDiskAtTheSecondFrameKeepsTheFirstAndLeavesTheRestAsTheyWere) {
    test::TempDir dir;
    prepare(dir.path());
    for (const Command& command : commands()) {
        const ztest::RunResult whole = ztest::run_zhost(command.args, dir.path());
        ASSERT_EQ(whole.status, 0) << command.name << ": " << whole.err;
        const fs::path reference = dir / "reference" / command.name;
        keep_reference(dir.path(), command, reference);
        // Room for the first frame and half the second.
        const uint64_t room = disk_bytes(reference, command.groups[0]) + disk_bytes(reference, command.groups[1]) / 2;
        fs::remove_all(dir / "out");
        const SmallDisk disk(dir / "out");
        if (!disk.mounted()) GTEST_SKIP() << "needs to mount a small tmpfs (root with CAP_SYS_ADMIN): " << std::strerror(errno);
        put_previous(dir.path(), command, "");  // empty files take no room
        disk.leave_free(room);

        const ztest::RunResult full = ztest::run_zhost(command.args, dir.path());
        EXPECT_EQ(full.status, 1) << command.name << ": " << full.out;
        EXPECT_TRUE(contains(full.err, "zhost: ") && contains(full.err, "out/")) << command.name << ": " << full.err;
        EXPECT_FALSE(contains(full.err, ".zhost-")) << command.name << " names a hidden file: " << full.err;
        const std::vector<GroupState> states = group_states(dir.path(), command, reference, "", "on a full disk");
        const bool all_or_none = std::string(command.name) == "save";
        for (std::size_t group = 0; group < states.size(); ++group) {
            const bool kept = group == 0 && !all_or_none;
            EXPECT_EQ(states[group].complete, kept ? command.groups[group].size() : 0u) << command.name << " " << group;
        }
        EXPECT_EQ(hidden_names(dir / "out"), std::vector<std::string>{}) << command.name;
    }
}

// Where an output goes: a plain new file, or something in its place.
struct Destination {
    const char* kind;
    std::function<void(const fs::path& file, const fs::path& elsewhere)> make;
    bool link;
    mode_t mode;  // expected mode bits of the written file
};

TEST(ZhostOutputs, ReplacingAnOutputWritesThroughSymbolicLinksAndKeepsTheMode) {
    test::TempDir dir;
    prepare(dir.path());
    fs::create_directories(dir / "elsewhere");
    fs::path other_disk = "/dev/shm";
    struct stat here {}, there {};
    const bool other_device = ::stat(dir.path().c_str(), &here) == 0 && ::stat(other_disk.c_str(), &there) == 0 &&
                              here.st_dev != there.st_dev && ::access(other_disk.c_str(), W_OK) == 0;
    const fs::path foreign = other_disk / (dir.path().filename().string() + "-target");
    const Destination destinations[] = {
        {"a file of mode 0600", [](const fs::path& f, const fs::path&) {
             write_text(f, "old");
             fs::permissions(f, fs::perms::owner_read | fs::perms::owner_write);
         }, false, 0600},
        {"a file of mode 03640 (setgid and sticky)", [](const fs::path& f, const fs::path&) {
             write_text(f, "old");
             fs::permissions(f, fs::perms::set_gid | fs::perms::sticky_bit | fs::perms::owner_read |
                                    fs::perms::owner_write | fs::perms::group_read);
         }, false, 03640},
        {"a link to a file of mode 0640 in another folder", [](const fs::path& f, const fs::path& e) {
             write_text(e, "old");
             fs::permissions(e, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
             fs::create_symlink(fs::relative(e, f.parent_path()), f);
         }, true, 0640},
        {"a dangling link", [](const fs::path& f, const fs::path& e) { fs::create_symlink(e, f); }, true, 0644},
        {"a link to a file on another file system", [&](const fs::path& f, const fs::path&) {
             write_text(foreign, "old");
             fs::permissions(foreign, fs::perms::set_gid | fs::perms::sticky_bit, fs::perm_options::add);
             fs::create_symlink(foreign, f);
         }, true, 03644},
    };
    const std::vector<Command> table = {
        {"save", {"save", "depth.0001.exr", "--base", "out/z"}, {{"out/z0001.zb"}}},
        {"comp", {"comp", "--render", "render.0001.exr", "--zbuffer", "z0001.zb", "--comp", "comp.exr", "-o", "out/c.exr"},
         {{"out/c.exr"}}},
    };
    ::umask(022);
    for (const Command& command : table) {
        ASSERT_EQ(ztest::run_zhost(command.args, dir.path()).status, 0) << command.name;
        const fs::path reference = dir / "reference" / command.name;
        keep_reference(dir.path(), command, reference);
        const fs::path file = dir / command.groups[0][0];
        for (const Destination& destination : destinations) {
            const std::string what = std::string(command.name) + " onto " + destination.kind;
            if (!other_device && contains(destination.kind, "another file system")) {
                test::skip_case(what, "needs /dev/shm writable on a file system of its own");
                continue;
            }
            fs::remove(file);
            fs::remove(dir / "elsewhere" / "target");
            fs::remove(foreign);
            destination.make(file, dir / "elsewhere" / "target");
            const fs::path link = destination.link ? fs::read_symlink(file) : fs::path();
            const ztest::RunResult run = ztest::run_zhost(command.args, dir.path());
            ASSERT_EQ(run.status, 0) << what << ": " << run.err;
            EXPECT_EQ(fs::is_symlink(file), destination.link) << what;
            if (destination.link) {
                EXPECT_EQ(fs::read_symlink(file), link) << what;
            }
            EXPECT_TRUE(same_output(file, reference / command.groups[0][0])) << what;
            struct stat written {};
            ASSERT_EQ(::stat(file.c_str(), &written), 0) << what;
            EXPECT_EQ(written.st_mode & 07777, destination.mode) << what;
            EXPECT_EQ(hidden_names(dir / "out"), std::vector<std::string>{}) << what;
        }
    }
    fs::remove(foreign);
}

TEST(ZhostOutputs, WroteLinesAndMessagesNameTheDestinationEscaped) {
    test::TempDir dir;
    prepare(dir.path());
    // The saver's file is fine, the picture of the same frame fails: the
    // frame's depth file stays as it was.
    write_text(dir / "unknown.json", R"({"frames": "1", "render": {"rgba": "render.####.exr"}, "output": "out/f#.xyz",
        "image_filters": [{"server": "OBK_ZSave", "settings": [{"text": "out/s"}]}]})");
    write_text(dir / "out/s0001.zb", "previous");
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* shown;  // on stdout for a success, on stderr for a failure
    };
    const Case cases[] = {
        {{"load", "z0001.zb", "-o", "out/a\x1b[2Jb.exr"}, 0, "wrote out/a\\x1B[2Jb.exr  (96x64)\n"},
        {{"save", "depth.0001.exr", "--base", "out/z\x1b[2J"}, 0, "wrote out/z\\x1B[2J0001.zb\n"},
        {{"render", "unknown.json"}, 1, "zhost: out/f0001.xyz: no image format is known for this file name\n"},
    };
    for (const Case& c : cases) {
        const ztest::RunResult run = ztest::run_zhost(c.args, dir.path());
        EXPECT_EQ(run.status, c.status) << c.args[0] << ": " << run.err;
        EXPECT_EQ(c.status == 0 ? run.out : run.err, c.shown) << c.args[0];
    }
    const test::Bytes depth = test::read_file(dir / "out/s0001.zb");
    EXPECT_EQ(std::string(depth.begin(), depth.end()), "previous");
    EXPECT_EQ(hidden_names(dir / "out"), std::vector<std::string>{});
}

TEST(ZhostOutputs, OutputsWithoutAFrameNumberInARunOfSeveralFramesAreRefusedBeforeAnyWork) {
    test::TempDir dir;
    prepare(dir.path());
    write_text(dir / "still.json", R"({"frames": "1-2", "render": {"rgba": "render.####.exr"}, "output": "out/f.exr"})");
    struct Case {
        std::vector<std::string> args;
        const char* option;
    };
    const Case cases[] = {
        {{"render", "still.json"}, "the scene's \"output\" \"out/f.exr\" has no frame number"},
        {{"render", "scene.json", "--frames", "1,3"}, ""},  // the scene's output has one: accepted
        {{"comp", "--render", "render.####.exr", "--zbuffer", "z####.zb", "--comp", "comp.exr", "-o", "out/c.exr",
          "--frames", "1-2"}, "-o/--output \"out/c.exr\" has no frame number"},
        {{"load", "z####.zb", "-o", "out/l.exr", "--frames", "2-3"}, "-o/--output \"out/l.exr\" has no frame number"},
        {{"save", "depth.####.exr", "--frames", "1-2", "--base", "out/z####"}, "--base \"out/z####\": the saver adds"},
        {{"save", "depth.0001.exr", "--base", "out/z%04d"}, "drop the # or % pattern"},
    };
    for (const Case& c : cases) {
        fs::remove_all(dir / "out");
        fs::create_directories(dir / "out");
        const ztest::RunResult run = ztest::run_zhost(c.args, dir.path());
        if (!*c.option) {
            EXPECT_EQ(run.status, 0) << c.args[0] << ": " << run.err;
            continue;
        }
        EXPECT_EQ(run.status, 2) << c.args[0] << ": " << run.err;
        EXPECT_TRUE(contains(run.err, c.option)) << run.err;
        EXPECT_TRUE(ztest::files_in(dir / "out").empty()) << c.args[0];
    }
}

TEST(ZhostOutputs, ASequenceCompositesEachFrameAsItAloneWould) {
    test::TempDir dir;
    write_inputs(dir.path());
    for (int frame = 1; frame <= 3; ++frame) {
        fs::rename(dir / numbered("render.", frame, ".exr"), dir / numbered("A.", frame, ".exr"));
        fs::copy_file(dir / "comp.exr", dir / numbered("B.", frame, ".exr"));
    }
    ASSERT_EQ(ztest::run_zhost({"save", "depth.@@@@.exr", "--frames", "1-3", "--base", "B."}, dir.path()).status, 0);
    fs::create_directories(dir / "out");
    const ztest::RunResult run =
        ztest::run_zhost({"comp", "--render", "A.####.exr", "--zbuffer", "B.####.zb", "--comp", "B.####.exr", "-o",
                          "out/C.####.exr", "--frames", "1-3"},
                         dir.path());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "wrote out/C.0001.exr .. out/C.0003.exr  (3 frames)\n");
    for (int frame = 1; frame <= 3; ++frame) {
        const ztest::RunResult alone =
            ztest::run_zhost({"comp", "--render", numbered("A.", frame, ".exr"), "--zbuffer", numbered("B.", frame, ".zb"),
                              "--comp", numbered("B.", frame, ".exr"), "-o", "alone.exr"},
                             dir.path());
        ASSERT_EQ(alone.status, 0) << alone.err;
        EXPECT_TRUE(same_output(dir / numbered("out/C.", frame, ".exr"), dir / "alone.exr")) << frame;
    }
}

// `args` with the frames to run replaced by `frames`.
std::vector<std::string> with_frames(std::vector<std::string> args, const std::string& frames) {
    const auto at = std::find(args.begin(), args.end(), "--frames");
    if (at == args.end()) {
        args.insert(args.end(), {"--frames", frames});
    } else {
        *(at + 1) = frames;
    }
    return args;
}

// Frames are read ahead while earlier ones are finished. A whole run writes
// what each frame run alone writes, bit for bit; a frame whose input cannot
// be read stops the run there, with the frames before it committed (save:
// none, its files move together), the later ones as they were, and one -v
// line for each frame done, in order.
TEST(ZhostOutputs, OverlappedFramesMatchOneFrameRunsAndStopAtTheFirstBadFrame) {
    test::TempDir dir;
    prepare(dir.path());
    const std::map<std::string, std::string> third_input = {
        {"render", "render.0003.exr"}, {"save", "depth.0003.exr"}, {"load", "z0003.zb"}, {"comp", "render.0003.exr"}};
    for (const Command& command : commands()) {
        if (!third_input.count(command.name)) continue;
        const fs::path reference = dir / "reference" / command.name;
        for (int frame = 1; frame <= FRAMES; ++frame) {
            const ztest::RunResult alone = ztest::run_zhost(with_frames(command.args, std::to_string(frame)), dir.path());
            ASSERT_EQ(alone.status, 0) << command.name << " " << frame << ": " << alone.err;
        }
        keep_reference(dir.path(), command, reference);
        const ztest::RunResult whole = ztest::run_zhost(command.args, dir.path());
        ASSERT_EQ(whole.status, 0) << command.name << ": " << whole.err;
        for (const GroupState& state : group_states(dir.path(), command, reference, "", "whole")) {
            EXPECT_EQ(state.previous, 0u) << command.name;
        }

        const fs::path bad = dir / third_input.at(command.name);
        fs::copy_file(bad, dir / "kept", fs::copy_options::overwrite_existing);
        write_text(bad, "not an image");
        put_previous(dir.path(), command, "previous");
        std::vector<std::string> args = command.args;
        args.insert(args.begin(), "-v");
        const ztest::RunResult stopped = ztest::run_zhost(args, dir.path());
        fs::copy_file(dir / "kept", bad, fs::copy_options::overwrite_existing);
        EXPECT_EQ(stopped.status, 1) << command.name;
        EXPECT_TRUE(contains(stopped.err, third_input.at(command.name))) << command.name << ": " << stopped.err;
        const std::vector<GroupState> states = group_states(dir.path(), command, reference, "previous", "stopped");
        const std::size_t kept = std::string(command.name) == "save" ? 0 : 2;
        for (std::size_t group = 0; group < states.size(); ++group) {
            EXPECT_EQ(states[group].complete, group < kept ? command.groups[group].size() : 0u)
                << command.name << " " << group;
        }
        std::string shown_lines;
        for (std::size_t at = stopped.out.find("frame "); at != std::string::npos; at = stopped.out.find("frame ", at + 1)) {
            shown_lines += stopped.out.substr(at, stopped.out.find(' ', at + 6) - at + 1);
        }
        EXPECT_EQ(shown_lines, "frame 1: frame 2: ") << command.name << ": " << stopped.out;
        EXPECT_EQ(hidden_names(dir / "out"), std::vector<std::string>{}) << command.name;
    }
}

// All the frames in flight count against --max-image-mb: with room for one
// frame and not two, the whole sequence runs (the frames read ahead wait for
// room) and writes what it writes without a limit; with too little room for
// one, the first frame is refused and nothing is written. (A frame's three
// inputs are read at the same time, and what each holds only while it
// decodes depends on their order: the smallest limit found for one frame
// may move by one MB from run to run, so the limits keep that distance.)
TEST(ZhostOutputs, ASmallImageLimitRunsFewerFramesInFlightRatherThanFail) {
    test::TempDir dir;
    write_inputs(dir.path(), "", 768, 512);  // about 14 MB a frame
    ASSERT_EQ(ztest::run_zhost({"save", "depth.####.exr", "--frames", "1-4", "--base", "z"}, dir.path()).status, 0);
    fs::create_directories(dir / "out");
    const std::vector<std::string> comp = {"comp", "--render", "render.####.exr", "--zbuffer", "z####.zb", "--comp",
                                           "comp.exr", "-o", "out/c.####.exr"};
    const auto run = [&](const std::string& megabytes, const std::string& frames) {
        std::vector<std::string> args = comp;
        if (!megabytes.empty()) args.insert(args.begin(), {"--max-image-mb", megabytes});
        args.insert(args.end(), {"--frames", frames});
        return ztest::run_zhost(args, dir.path());
    };
    ASSERT_EQ(run("", "1-4").status, 0);
    for (int frame = 1; frame <= FRAMES; ++frame) {
        fs::rename(dir / numbered("out/c.", frame, ".exr"), dir / numbered("reference.", frame, ".exr"));
    }
    int one_frame = 10;
    while (one_frame < 64 && run(std::to_string(one_frame), "1").status != 0) ++one_frame;
    ASSERT_LT(one_frame, 64);
    fs::remove(dir / "out/c.0001.exr");

    const ztest::RunResult below = run(std::to_string(one_frame - 2), "1-4");
    EXPECT_EQ(below.status, 1);
    EXPECT_TRUE(contains(below.err, "(--max-image-mb)")) << below.err;
    EXPECT_TRUE(ztest::files_in(dir / "out").empty());
    ASSERT_GT(2 * (one_frame - 2), one_frame + 1) << "two frames must not fit";
    const ztest::RunResult at = run(std::to_string(one_frame + 1), "1-4");
    ASSERT_EQ(at.status, 0) << at.err;
    for (int frame = 1; frame <= FRAMES; ++frame) {
        EXPECT_TRUE(same_output(dir / numbered("out/c.", frame, ".exr"), dir / numbered("reference.", frame, ".exr")))
            << frame;
    }
}

// Opens `path` (made when missing) and takes the OFD write lock that a
// writer holds on its hidden file; -1 when it cannot.
int lock_as_writer(const fs::path& path) {
    const int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    if (descriptor >= 0 && ::fcntl(descriptor, F_OFD_SETLK, &lock) == 0) return descriptor;
    if (descriptor >= 0) ::close(descriptor);
    return -1;
}

TEST(ZhostOutputs, LeftoversAreRemovedOnlyWhenNoWriterHoldsTheirLock) {
    test::TempDir dir;
    ztest::write_image((dir / "depth.exr").string(), 8, 4, {"Z"}, std::vector<float>(32, 1.0f));
    const pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    const std::string alive = std::to_string(::getpid());
    enum Holder { NOBODY, RUNNING, ZOMBIE };
    struct Case {
        const char* what;
        std::string name;
        bool folder;    // a staging folder and its ".lock", or a file
        Holder holder;  // of the file, or of the folder's lock file
        bool removed;
    };
    const Case cases[] = {
        {"a locked file named after a process that ended", ".zhost-node7-" + std::to_string(dead) + "-0000000a-f.exr",
         false, RUNNING, false},
        {"a locked folder of another machine", ".zhost-othernode-1-0000000b", true, RUNNING, false},
        {"an unlocked file named after a running process", ".zhost-node7-" + alive + "-0000000c-f.exr", false, NOBODY,
         true},
        {"an unlocked folder", ".zhost-node7-" + alive + "-0000000d", true, NOBODY, true},
        {"a file locked by a zombie", ".zhost-node7-" + alive + "-0000000e-f.exr", false, ZOMBIE, true},
        {"a name of another form", ".zhost-stdout", false, NOBODY, false},
    };
    const fs::path folder = dir / "folder";
    fs::create_directories(folder);
    std::vector<int> held;
    pid_t zombie = -1;
    for (const Case& c : cases) {
        const fs::path locked = folder / (c.name + (c.folder ? ".lock" : ""));
        if (c.folder) fs::create_directories(folder / c.name / "inside");
        write_text(locked, "x");
        if (c.holder == RUNNING) held.push_back(lock_as_writer(locked));
        if (c.holder == ZOMBIE && (zombie = ::fork()) == 0) ::_exit(lock_as_writer(locked) >= 0 ? 0 : 1);
    }
    ASSERT_EQ(std::count(held.begin(), held.end(), -1), 0) << std::strerror(errno);
    siginfo_t ended{};  // the zombie has ended, and stays unreaped
    ASSERT_EQ(::waitid(P_PID, id_t(zombie), &ended, WEXITED | WNOWAIT), 0);
    ASSERT_EQ(ended.si_status, 0) << "the zombie could not lock its file";

    const ztest::RunResult run = ztest::run_zhost({"save", "depth.exr", "--base", "folder/z"}, dir.path());
    ASSERT_EQ(run.status, 0) << run.err;
    for (const Case& c : cases) {
        EXPECT_EQ(!fs::exists(folder / c.name), c.removed) << c.what;
        if (c.folder) {
            EXPECT_EQ(!fs::exists(folder / (c.name + ".lock")), c.removed) << c.what;
            EXPECT_EQ(fs::exists(folder / c.name / "inside"), !c.removed) << c.what;
        }
    }
    ::waitpid(zombie, nullptr, 0);
    for (const int descriptor : held) ::close(descriptor);
}

// Where a destination leads: made by `make` in the test's folder.
struct BadDestination {
    const char* what;
    std::vector<std::string> args;
    std::string destination;  // what the command would write, made unwritable
    std::function<bool(const fs::path& dir)> make;  // false: this machine cannot make it
    std::string kept;  // another output of the same commit, which stays as it was
    std::string refusal;
};

TEST(ZhostOutputs, ADestinationThatIsNoRegularFileIsRefusedBeforeAnyOutputIsReplaced) {
    test::TempDir dir;
    prepare(dir.path());
    const fs::path d = dir.path();
    // Each maker gets the test's folder and makes the destination there.
    const auto directory_at = [](const std::string& destination) {
        return [=](const fs::path& at) { return fs::create_directory(at / destination); };
    };
    const auto link_to = [](const std::string& destination, const std::function<bool(const fs::path&)>& make_target) {
        return [=](const fs::path& at) {
            fs::create_symlink(at / "target", at / destination);
            return make_target(at / "target");
        };
    };
    const auto directory = [](const fs::path& at) { return fs::create_directory(at); };
    const auto fifo = [](const fs::path& at) { return ::mkfifo(at.c_str(), 0644) == 0; };
    const auto null_device = [](const fs::path& at) { return ::mknod(at.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0; };
    const std::string target = (d / "target").string();
    const BadDestination cases[] = {
        {"save's second frame onto a directory", {"save", "depth.####.exr", "--frames", "1-2", "--base", "out/z"},
         "out/z0002.zb", directory_at("out/z0002.zb"), "out/z0001.zb", "out/z0002.zb: cannot write: it is a directory"},
        {"render's picture onto a directory", {"render", "scene.json", "--frames", "1"}, "out/f.0001.exr",
         directory_at("out/f.0001.exr"),
         "out/s0001.zb", "out/f.0001.exr: cannot write: it is a directory"},
        {"save through a link to a FIFO", {"save", "depth.0001.exr", "--base", "out/z"}, "out/z0001.zb",
         link_to("out/z0001.zb", fifo), "", "out/z0001.zb: cannot write: it links to " + target + ", a FIFO"},
        {"save through a link to a null device", {"save", "depth.0001.exr", "--base", "out/z"}, "out/z0001.zb",
         link_to("out/z0001.zb", null_device), "",
         "out/z0001.zb: cannot write: it links to " + target + ", a character device"},
        {"comp through a link to a directory",
         {"comp", "--render", "render.0001.exr", "--zbuffer", "z0001.zb", "--comp", "comp.exr", "-o", "out/c.exr"},
         "out/c.exr", link_to("out/c.exr", directory), "",
         "out/c.exr: cannot write: it links to " + target + ", a directory"},
    };
    for (const BadDestination& c : cases) {
        fs::remove_all(d / "out");
        fs::remove_all(d / "target");
        fs::create_directories(d / "out");
        if (!c.make(d)) {
            test::skip_case(c.what, std::string("cannot make the destination: ") + std::strerror(errno));
            continue;
        }
        struct stat before {};
        ASSERT_EQ(::stat((d / c.destination).c_str(), &before), 0) << c.what;
        if (!c.kept.empty()) write_text(d / c.kept, "previous");

        const ztest::RunResult run = ztest::run_zhost(c.args, d);
        EXPECT_EQ(run.status, 1) << c.what;
        EXPECT_EQ(run.err, "zhost: " + c.refusal + "\n") << c.what;
        struct stat after {};
        ASSERT_EQ(::stat((d / c.destination).c_str(), &after), 0) << c.what;
        EXPECT_EQ(after.st_mode & S_IFMT, before.st_mode & S_IFMT) << c.what << ": the destination was replaced";
        if (!c.kept.empty()) {
            const test::Bytes kept = test::read_file(d / c.kept);
            EXPECT_TRUE(std::string(kept.begin(), kept.end()) == "previous") << c.what << ": " << c.kept << " replaced";
        }
        EXPECT_EQ(hidden_names(d / "out"), std::vector<std::string>{}) << c.what;
    }
}

// A command on a full disk, and what it says.
struct FullDiskCase {
    const char* what;
    std::vector<std::string> args;
    std::vector<std::string> room_for;  // files of the reference run that still fit on the disk
    bool through_link;                  // the output links to a file on the full disk, out/ is not on it
    std::string err;
};

TEST(ZhostOutputs, AFullDiskIsNamedAsTheCause) {
    test::TempDir dir;
    prepare(dir.path());
    const fs::path d = dir.path();
    const FullDiskCase cases[] = {
        {"the saver of save", {"save", "depth.0001.exr", "--base", "out/s"}, {}, false,
         "zhost: OBK_ZSave:  Error while writing: out/s0001.zb\nzhost: No space left on device\n"},
        {"the saver of demo", {"demo", "--out", "out", "--frame-count", "1", "--size", "96x64"},
         {"first0001.png", "second0001.png", "first-depth0001.png", "second-depth0001.png"}, false,
         "zhost: OBK_ZSave:  Error while writing: out/zbuf0001.zb\nzhost: No space left on device\n"},
        {"a copy onto another file system", {"save", "depth.0001.exr", "--base", "out/s"}, {}, true,
         "zhost: out/s0001.zb: cannot write: No space left on device\n"},
    };
    for (const FullDiskCase& c : cases) {
        fs::remove_all(d / "out");
        fs::create_directories(d / "out");
        const ztest::RunResult whole = ztest::run_zhost(c.args, d);
        ASSERT_EQ(whole.status, 0) << c.what << ": " << whole.err;
        fs::remove_all(d / "reference");
        fs::rename(d / "out", d / "reference");
        const fs::path full = c.through_link ? d / "small" : d / "out";
        const SmallDisk disk(full);
        if (!disk.mounted()) GTEST_SKIP() << "needs to mount a small tmpfs (root with CAP_SYS_ADMIN): " << std::strerror(errno);
        if (c.through_link) {
            fs::create_directories(d / "out");
            write_text(full / "old.zb", "old");
            fs::create_symlink(full / "old.zb", d / "out/s0001.zb");
        }
        disk.leave_free(disk_bytes(d / "reference", c.room_for) + 4096);

        const ztest::RunResult run = ztest::run_zhost(c.args, d);
        EXPECT_EQ(run.status, 1) << c.what;
        EXPECT_EQ(run.err, c.err) << c.what;
        EXPECT_EQ(hidden_names(d / "out"), std::vector<std::string>{}) << c.what;
        if (c.through_link) {
            const test::Bytes old = test::read_file(full / "old.zb");
            EXPECT_TRUE(std::string(old.begin(), old.end()) == "old") << c.what << ": the link's target replaced";
            EXPECT_EQ(hidden_names(full), std::vector<std::string>{}) << c.what;
        }
    }
}

}  // namespace
