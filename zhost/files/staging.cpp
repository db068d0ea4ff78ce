#include "zhost/files/staging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>
#include <string_view>
#include <system_error>
#include <vector>

namespace zhost {
namespace {

namespace fs = std::filesystem;

constexpr const char* HIDDEN_PREFIX = ".zhost-";
constexpr const char* LOCK_SUFFIX = ".lock";
constexpr int MAX_LINK_HOPS = 40;
constexpr int NAME_ATTEMPTS = 100;
constexpr const char* ALPHANUMERIC = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

std::string reason(int error_number) { return std::strerror(error_number); }

std::string in_folder(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : (fs::path(folder) / name).string();
}

std::string shown_folder(const std::string& folder) { return folder.empty() ? "." : folder; }

// This machine's name as hidden names carry it: its letters and digits, at
// most 16 of them.
std::string host_tag() {
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    std::string tag;
    for (const char* c = name; *c != '\0' && tag.size() < 16; ++c) {
        if (std::strchr(ALPHANUMERIC, *c) != nullptr) tag += *c;
    }
    return tag.empty() ? "host" : tag;
}

// Eight hex digits, different at each call: names of writers on machines
// of the same name and process id (containers) still differ.
std::string random_tag() {
    static std::atomic<uint64_t> state{std::random_device{}() * 0x100000001ull ^ uint64_t(::getpid())};
    uint64_t z = state.fetch_add(0x9e3779b97f4a7c15ull) + 0x9e3779b97f4a7c15ull;  // splitmix64
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    char text[9];
    std::snprintf(text, sizeof text, "%08x", uint32_t(z ^ (z >> 31)));
    return text;
}

std::string hidden_stem() {
    static const std::string host = host_tag();
    return HIDDEN_PREFIX + host + "-" + std::to_string(::getpid()) + "-" + random_tag();
}

// What a name that zhost made stands for: ".zhost-HOST-PID-RANDOM" a staging
// folder, the same with ".lock" its lock, with "-NAME" a file.
enum class Hidden { NONE, FOLDER, FOLDER_LOCK, FILE };

bool made_of(std::string_view text, std::string_view allowed, std::size_t least, std::size_t most) {
    return text.size() >= least && text.size() <= most && text.find_first_not_of(allowed) == std::string_view::npos;
}

Hidden hidden_kind(std::string_view name) {
    if (!name.starts_with(HIDDEN_PREFIX)) return Hidden::NONE;
    name.remove_prefix(std::strlen(HIDDEN_PREFIX));
    const std::size_t host_end = name.find('-');
    const std::size_t pid_end = host_end == std::string_view::npos ? host_end : name.find('-', host_end + 1);
    if (pid_end == std::string_view::npos) return Hidden::NONE;
    const std::string_view host = name.substr(0, host_end);
    const std::string_view pid = name.substr(host_end + 1, pid_end - host_end - 1);
    const std::string_view random = name.substr(pid_end + 1, 8);
    const std::string_view rest = name.substr(std::min(name.size(), pid_end + 9));
    const char* digits = "0123456789";
    if (!made_of(host, ALPHANUMERIC, 1, 16) || !made_of(pid, digits, 1, 10) || !made_of(random, "0123456789abcdef", 8, 8)) {
        return Hidden::NONE;
    }
    if (rest.empty()) return Hidden::FOLDER;
    if (rest == LOCK_SUFFIX) return Hidden::FOLDER_LOCK;
    return rest.size() > 1 && rest[0] == '-' ? Hidden::FILE : Hidden::NONE;
}

// Takes a lock of `type` on the whole file without waiting; 0 or errno.
// OFD locks belong to the open file, not the process: another open of the
// same file (an encoder's, another thread's) neither shares nor drops them.
int lock_whole(int descriptor, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return ::fcntl(descriptor, F_OFD_SETLK, &lock) == 0 ? 0 : errno;
}

bool is_conflict(int error_number) { return error_number == EAGAIN || error_number == EACCES; }

// Whether `path` still names the file open as `descriptor`.
bool still_named(int descriptor, const std::string& path) {
    struct stat open {}, named {};
    return ::fstat(descriptor, &open) == 0 && ::lstat(path.c_str(), &named) == 0 && open.st_dev == named.st_dev &&
           open.st_ino == named.st_ino;
}

class Descriptor {
public:
    explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
    ~Descriptor() {
        if (descriptor_ >= 0) ::close(descriptor_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return descriptor_; }

private:
    int descriptor_;
};

// Removes `lock_path` and, when given, the folder it locks, if no writer
// holds the lock. A folder whose lock file is gone (its writer ended while
// removing it) is claimed by creating the lock file anew. Where the file
// system takes no locks, nothing is removed.
void remove_if_unheld(const std::string& lock_path, const std::string& folder_path) {
    int descriptor = ::open(lock_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (descriptor < 0 && errno == ENOENT && !folder_path.empty()) {
        descriptor = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    }
    const Descriptor lock(descriptor);
    if (lock.get() < 0 || lock_whole(lock.get(), F_RDLCK) != 0 || !still_named(lock.get(), lock_path)) return;
    std::error_code ignored;
    if (!folder_path.empty()) fs::remove_all(folder_path, ignored);
    ::unlink(lock_path.c_str());
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

std::string folder_of(const fs::path& path) { return path.parent_path().string(); }

// Refuses a destination whose target is anything but a regular file or
// absent, or that cannot be written: an existing file that is not
// writable, or a folder in which no file can be made.
void check_target(const std::string& destination, const fs::path& target) {
    const std::string failure = destination + ": cannot write: ";
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0) {
        if (!S_ISREG(existing.st_mode)) {
            throw Error(failure + (target == fs::path(destination) ? std::string("it is ")
                                                                   : "it links to " + target.string() + ", ") +
                        file_kind(existing.st_mode));
        }
        if (::access(target.c_str(), W_OK) != 0) throw Error(failure + reason(errno));
    } else if (errno != ENOENT) {
        throw Error(failure + reason(errno));
    }
    if (::access(shown_folder(folder_of(target)).c_str(), W_OK | X_OK) != 0) throw Error(failure + reason(errno));
}

void check_destination(const std::string& destination) { check_target(destination, link_target(destination)); }

// Copies the bytes of `from` into `to`; 0 or errno of the failing call.
int copy_bytes(int from, int to) {
    std::vector<char> buffer(std::size_t{1} << 20);
    for (;;) {
        const ssize_t got = ::read(from, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return got == 0 ? 0 : errno;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(to, buffer.data() + done, std::size_t(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return put < 0 ? errno : EIO;
            done += put;
        }
    }
}

// Copies the file `from` into the existing file `to`, with its mode, and
// flushes it to the disk. Returns 0 or the errno of the first call that
// failed (a full disk shows as ENOSPC at a write, the flush or the close).
int copy_file(const std::string& from, const std::string& to) {
    const Descriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) return errno;
    const int out = ::open(to.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (out < 0) return errno;
    int failure = copy_bytes(in.get(), out);
    struct stat mode {};
    if (failure == 0 && (::fstat(in.get(), &mode) != 0 || ::fchmod(out, mode.st_mode & 07777) != 0)) failure = errno;
    if (failure == 0 && ::fsync(out) != 0) failure = errno;
    if (::close(out) != 0 && failure == 0) failure = errno;
    return failure;
}

// A name for a file that becomes `file_name`: a long name would not fit
// once prefixed; its extension is what counts.
std::string kept_name(const fs::path& file_name) {
    std::string name = "-";
    name += file_name.string().size() > 180 ? file_name.extension().string() : file_name.string();
    return name;
}

// A copy of `staged` under a locked hidden name beside `target`.
std::unique_ptr<LockedFile> copy_beside(const std::string& staged, const fs::path& target,
                                        const std::string& destination) {
    remove_stale_leftovers(folder_of(target));
    auto copy = std::make_unique<LockedFile>(folder_of(target), kept_name(target.filename()),
                                             destination + ": cannot write");
    const int failure = copy_file(staged, copy->path());
    if (failure != 0) {
        ::unlink(copy->path().c_str());
        throw Error(destination + ": cannot write: " + reason(failure));
    }
    return copy;
}

bool on_other_device(const std::string& file, const fs::path& target) {
    struct stat a {}, b {};
    return ::stat(file.c_str(), &a) == 0 && ::stat(shown_folder(folder_of(target)).c_str(), &b) == 0 &&
           a.st_dev != b.st_dev;
}

// One staged file on its way to its destination. Made for every file of a
// group before the first is moved: the destination is checked, the staged
// file takes the replaced file's mode, and a file bound for another file
// system is copied beside its target, so that only renames remain.
class Placement {
public:
    Placement(std::string staged, std::string destination)
        : staged_(std::move(staged)), destination_(std::move(destination)), target_(link_target(destination_)) {
        check_target(destination_, target_);
        keep_mode();
        if (on_other_device(staged_, target_)) copy_ = copy_beside(staged_, target_, destination_);
    }
    Placement(Placement&&) = default;
    ~Placement() {
        if (copy_ && !placed_) ::unlink(copy_->path().c_str());
    }

    // Moves the file into place; throws zhost::Error.
    void place() {
        const std::string& source = copy_ ? copy_->path() : staged_;
        if (::rename(source.c_str(), target_.c_str()) != 0) {
            const int error = errno;
            if (error != EXDEV || copy_) throw Error(destination_ + ": cannot write: " + reason(error));
            // One device but two mounts of it (a bind mount): copy after all.
            copy_ = copy_beside(staged_, target_, destination_);
            return place();
        }
        placed_ = true;
        if (copy_) ::unlink(staged_.c_str());
    }

private:
    // Keeps what the replaced file had; failing that, the new file's own.
    void keep_mode() const {
        struct stat existing {};
        if (::stat(target_.c_str(), &existing) != 0) return;
        if (::chmod(staged_.c_str(), existing.st_mode & 07777) == 0 && ::geteuid() == 0) {
            [[maybe_unused]] const int ignored = ::chown(staged_.c_str(), existing.st_uid, existing.st_gid);
        }
    }

    std::string staged_;
    std::string destination_;
    fs::path target_;
    std::unique_ptr<LockedFile> copy_;
    bool placed_ = false;
};

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) return;
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

}  // namespace

const char* file_kind(unsigned mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

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
        const std::string path = in_folder(folder, entry.path().filename().string());
        switch (hidden_kind(entry.path().filename().string())) {
        case Hidden::FILE: remove_if_unheld(path, ""); break;
        case Hidden::FOLDER_LOCK: remove_if_unheld(path, path.substr(0, path.size() - std::strlen(LOCK_SUFFIX))); break;
        case Hidden::FOLDER: remove_if_unheld(path + LOCK_SUFFIX, path); break;
        case Hidden::NONE: break;
        }
    }
}

LockedFile::LockedFile(const std::string& folder, const std::string& suffix, const std::string& failure) {
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        const std::string path = in_folder(folder, hidden_stem() + suffix);
        const int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (descriptor < 0 && errno == EEXIST) continue;
        if (descriptor < 0) throw Error(failure + ": " + reason(errno));
        // A cleanup that found the name before the lock was taken holds it
        // or has removed the file: try another name. Without locks on this
        // file system, the file stays unlocked, and no cleanup removes it.
        if (!is_conflict(lock_whole(descriptor, F_WRLCK)) && still_named(descriptor, path)) {
            path_ = path;
            descriptor_ = descriptor;
            return;
        }
        ::close(descriptor);
    }
    throw Error(failure + ": no hidden name could be made");
}

LockedFile::~LockedFile() {
    if (descriptor_ >= 0) ::close(descriptor_);
}

void move_into_place(const std::string& staged, const std::string& destination) {
    Placement(staged, destination).place();
}

PendingFile::PendingFile(std::string destination) : destination_(std::move(destination)) {
    const fs::path target = link_target(destination_);
    check_target(destination_, target);
    remove_stale_leftovers(folder_of(target));
    file_ = std::make_unique<LockedFile>(folder_of(target), kept_name(target.filename()), destination_ + ": cannot write");
}

PendingFile::~PendingFile() {
    if (!committed_) ::unlink(file_->path().c_str());
}

void PendingFile::commit() {
    move_into_place(file_->path(), destination_);
    committed_ = true;
}

StagingDirectory::StagingDirectory(const std::string& destination_dir) {
    remove_stale_leftovers(destination_dir);
    const std::string failure = shown_folder(destination_dir) + ": cannot write there";
    for (int attempt = 0;; ++attempt) {
        auto lock = std::make_unique<LockedFile>(destination_dir, LOCK_SUFFIX, failure);
        const std::string folder = lock->path().substr(0, lock->path().size() - std::strlen(LOCK_SUFFIX));
        if (::mkdir(folder.c_str(), 0700) == 0) {
            lock_ = std::move(lock);
            path_ = folder + "/";
            return;
        }
        const int error = errno;
        ::unlink(lock->path().c_str());
        if (error != EEXIST || attempt == NAME_ATTEMPTS) throw Error(failure + ": " + reason(error));
    }
}

StagingDirectory::~StagingDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
    ::unlink(lock_->path().c_str());
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
    check_destination(destination);
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
    std::vector<Placement> placements;
    placements.reserve(pending_.size());
    for (const Entry& entry : pending_) placements.emplace_back(entry.staged, entry.destination);
    for (Placement& placement : placements) placement.place();
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
