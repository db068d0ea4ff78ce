#include "zhost/staging.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <system_error>

namespace zhost {
namespace {

namespace fs = std::filesystem;

constexpr const char* HIDDEN_PREFIX = ".zhost-";
constexpr int MAX_LINK_HOPS = 40;

// Who wrote a hidden name: this machine (a hash of its host name), this boot
// of it, and the process (id and start time, so that a reused id does not
// pass for its old owner).
struct Owner {
    std::string host;   // 8 hex digits
    std::string boot;   // 8 hex digits
    long long pid = 0;
    long long start = 0;  // clock ticks after boot; 0 where unknown
};

std::string hex8(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

std::string host_hash() {
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    uint32_t hash = 2166136261u;  // FNV-1a
    for (const char* c = name; *c; ++c) hash = (hash ^ uint8_t(*c)) * 16777619u;
    return hex8(hash);
}

std::string boot_id() {
    std::string id;
    std::ifstream("/proc/sys/kernel/random/boot_id") >> id;
    id.erase(std::remove(id.begin(), id.end(), '-'), id.end());
    return id.size() >= 8 && id.find_first_not_of("0123456789abcdef") == std::string::npos ? id.substr(0, 8)
                                                                                            : "00000000";
}

// The state letter and start time of process `pid` from /proc; false when
// there is no such process (or no /proc).
bool process_status(long long pid, char& state, long long& start) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos) return false;
    std::istringstream fields(stat.substr(name_end + 1));
    std::string field;
    fields >> state;
    for (int i = 0; i < 18 && fields >> field; ++i) {  // fields 4 to 21
    }
    return bool(fields >> start);
}

const Owner& this_process() {
    static const Owner owner = [] {
        Owner o{host_hash(), boot_id(), ::getpid(), 0};
        char state = 0;
        if (!process_status(o.pid, state, o.start)) o.start = 0;
        return o;
    }();
    return owner;
}

std::string owner_tag() {
    const Owner& o = this_process();
    return std::string(HIDDEN_PREFIX) + o.host + "-" + o.boot + "-" + std::to_string(o.pid) + "-" +
           std::to_string(o.start) + "-";
}

bool all_of_class(const std::string& text, const char* chars) {
    return !text.empty() && text.find_first_not_of(chars) == std::string::npos;
}

// The owner of a hidden name, when it is one.
bool parse_owner(const std::string& name, Owner& owner) {
    if (name.rfind(HIDDEN_PREFIX, 0) != 0) return false;
    std::istringstream parts(name.substr(std::strlen(HIDDEN_PREFIX)));
    std::string pid, start, rest;
    if (!std::getline(parts, owner.host, '-') || !std::getline(parts, owner.boot, '-') || !std::getline(parts, pid, '-') ||
        !std::getline(parts, start, '-') || !std::getline(parts, rest) || rest.empty()) {
        return false;
    }
    const char* hex = "0123456789abcdef";
    const char* digits = "0123456789";
    if (owner.host.size() != 8 || owner.boot.size() != 8 || !all_of_class(owner.host, hex) ||
        !all_of_class(owner.boot, hex) || !all_of_class(pid, digits) || !all_of_class(start, digits) ||
        pid.size() > 10 || start.size() > 18) {
        return false;
    }
    owner.pid = std::stoll(pid);
    owner.start = std::stoll(start);
    return true;
}

bool owner_is_gone(const Owner& owner) {
    const Owner& self = this_process();
    if (owner.host != self.host) return false;  // another machine's: not ours to judge
    if (owner.boot != self.boot) return true;    // written before this machine last started
    char state = 0;
    long long start = 0;
    if (self.start != 0) return !process_status(owner.pid, state, start) || state == 'Z' || start != owner.start;
    return ::kill(pid_t(owner.pid), 0) != 0 && errno == ESRCH;
}

// The file that writing `destination` changes: the target of a symbolic
// link, followed link by link.
fs::path link_target(const std::string& destination) {
    fs::path path(destination);
    for (int hops = 0;; ++hops) {
        std::error_code error;
        if (!fs::is_symlink(path, error)) return path;
        if (hops == MAX_LINK_HOPS) throw Error(destination + ": cannot write: too many levels of symbolic links");
        const fs::path link = fs::read_symlink(path, error);
        if (error) throw Error(destination + ": cannot write: " + error.message());
        path = link.is_absolute() ? link : path.parent_path() / link;
    }
}

// A hidden name for a new file in `folder` that becomes `file_name`.
std::string hidden_file(const fs::path& folder, const fs::path& file_name) {
    static std::atomic<unsigned> counter{0};
    // A long name would not fit once prefixed; its extension is what counts.
    const std::string kept = file_name.string().size() > 180 ? file_name.extension().string() : file_name.string();
    const std::string name = owner_tag() + std::to_string(counter++) + "-" + kept;
    return folder.empty() ? name : (folder / name).string();
}

std::string shown_folder(const std::string& folder) { return folder.empty() ? "." : folder; }

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) return;
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

}  // namespace

void remove_stale_leftovers(const std::string& folder) {
    static std::mutex mutex;
    static std::set<std::string> done;
    std::error_code error;
    const std::string key = fs::weakly_canonical(shown_folder(folder), error).string();
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!done.insert(key).second) return;
    }
    for (const auto& entry : fs::directory_iterator(shown_folder(folder), error)) {
        Owner owner;
        if (parse_owner(entry.path().filename().string(), owner) && owner_is_gone(owner)) {
            std::error_code ignored;
            fs::remove_all(entry.path(), ignored);
        }
    }
}

void move_into_place(const std::string& staged, const std::string& destination) {
    const fs::path target = link_target(destination);
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0) {
        if (S_ISDIR(existing.st_mode)) throw Error(destination + ": cannot write: it is a directory");
        // Keep what the replaced file had; failing that, the new file's own.
        if (::chmod(staged.c_str(), existing.st_mode & 07777) == 0 && ::geteuid() == 0) {
            [[maybe_unused]] const int ignored = ::chown(staged.c_str(), existing.st_uid, existing.st_gid);
        }
    }
    if (::rename(staged.c_str(), target.c_str()) == 0) return;
    if (errno != EXDEV) throw Error(destination + ": cannot write: " + std::strerror(errno));
    // The target is on another file system: copy beside it, then rename.
    remove_stale_leftovers(target.parent_path().string());
    const std::string copy = hidden_file(target.parent_path(), target.filename());
    std::error_code error;
    fs::copy_file(staged, copy, error);
    if (!error) fs::permissions(copy, fs::status(staged).permissions(), error);
    if (!error && ::rename(copy.c_str(), target.c_str()) != 0) error.assign(errno, std::generic_category());
    if (error) {
        std::error_code ignored;
        fs::remove(copy, ignored);
        throw Error(destination + ": cannot write: " + error.message());
    }
    fs::remove(staged, error);
}

PendingFile::PendingFile(std::string destination) : destination_(std::move(destination)) {
    const fs::path target = link_target(destination_);
    remove_stale_leftovers(target.parent_path().string());
    temporary_ = hidden_file(target.parent_path(), target.filename());
}

PendingFile::~PendingFile() {
    if (committed_) return;
    std::error_code ignored;
    fs::remove(temporary_, ignored);
}

void PendingFile::commit() {
    move_into_place(temporary_, destination_);
    committed_ = true;
}

StagingDirectory::StagingDirectory(const std::string& destination_dir) {
    remove_stale_leftovers(destination_dir);
    std::string pattern = destination_dir.empty() ? std::string() : destination_dir;
    if (!pattern.empty() && pattern.back() != '/') pattern += '/';
    pattern += owner_tag() + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw Error(shown_folder(destination_dir) + ": cannot write there: " + std::strerror(errno));
    }
    path_ = pattern + "/";
}

StagingDirectory::~StagingDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

StagingDirectory& StagedFiles::folder_for(const std::string& destination) {
    const std::string folder = fs::path(destination).parent_path().string();
    std::unique_ptr<StagingDirectory>& staging = folders_[folder];
    if (!staging) {
        staging = std::make_unique<StagingDirectory>(folder);
        names_.emplace_back(staging->path(), folder.empty() ? std::string() : folder + "/");
    }
    return *staging;
}

std::string StagedFiles::stage(const std::string& destination) {
    const std::string staged = folder_for(destination).path() + fs::path(destination).filename().string();
    add(staged, destination);
    return staged;
}

void StagedFiles::add(const std::string& staged, const std::string& destination) {
    pending_.push_back({staged, destination});
}

std::string StagedFiles::staging_base(const std::string& base) {
    const std::string staged = folder_for(base).path() + fs::path(base).filename().string();
    names_.emplace_back(staged, base);
    return staged;
}

std::string StagedFiles::staged_path(const std::string& destination) const {
    for (const Entry& entry : pending_) {
        if (entry.destination == destination) return entry.staged;
    }
    return {};
}

void StagedFiles::commit() {
    for (const Entry& entry : pending_) move_into_place(entry.staged, entry.destination);
    pending_.clear();
}

std::string StagedFiles::shown(std::string text) const {
    std::vector<std::pair<std::string, std::string>> names = names_;
    for (const Entry& entry : pending_) names.emplace_back(entry.staged, entry.destination);
    // Longest first: a file's staged name before its folder's.
    std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
    for (const auto& [staged, destination] : names) replace_all(text, staged, destination);
    return text;
}

}  // namespace zhost
