// Output files that appear whole or not at all. Each is written under a
// hidden name beside its destination and moved into place only once it is
// complete; a group of files (one frame's depth file and pictures, or all
// the depth files of `zhost save`) is moved together once the group has
// succeeded: every destination of the group is checked, and files bound for
// another file system are copied beside their destinations, before the
// first of them is replaced.
//
// Moving into place writes through a symbolic link to its target (the link
// stays) and keeps the mode of the file it replaces, as `cp` does. A
// destination that is, or links to, anything but a regular file (a folder,
// a device, a FIFO) is refused.
//
// Hidden names read ".zhost-HOST-PID-RANDOM..." (the writer's host and
// process, for people) and each is locked by its writer for as long as it
// exists: an OFD lock (fcntl) on the hidden file, or for a hidden folder on
// the file of the same name with ".lock" added. A later run, on this machine
// or another one sharing the folder, removes only what it can lock: what a
// writer that ended (killed, say) left behind.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "zhost/text/error.h"

namespace zhost {

// What a file of mode `mode` is, in words ("a FIFO", "a character device",
// ...), for messages about anything but a regular file.
const char* file_kind(unsigned mode);

// Removes the hidden files and folders in `folder` ("" for the current one)
// that no running writer holds locked. Each folder is looked at once per
// process.
void remove_stale_leftovers(const std::string& folder);

// A new file under a fresh hidden name, write-locked while the object
// lives; the file itself stays when it goes.
class LockedFile {
public:
    // Creates the file "FOLDER/.zhost-HOST-PID-RANDOM" + `suffix` ("" for
    // the current folder). Throws zhost::Error naming `shown` with the
    // system's reason when it cannot.
    LockedFile(const std::string& folder, const std::string& suffix, const std::string& shown);
    ~LockedFile();
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
    int descriptor_ = -1;
};

// Moves the complete file `staged` to `destination`, through a symbolic link
// to its target and keeping the mode of the file replaced. Throws
// zhost::Error naming `destination`.
void move_into_place(const std::string& staged, const std::string& destination);

// One output file in the making: written under a hidden name in the folder
// of its destination's target (keeping the extension, so that format
// detection still works) and moved into place by commit(). Until then the
// hidden file is removed when the object goes.
class PendingFile {
public:
    // Throws zhost::Error for a destination that cannot be replaced.
    explicit PendingFile(std::string destination);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    const std::string& temporary() const { return file_->path(); }
    const std::string& destination() const { return destination_; }
    // Moves the file into place; throws zhost::Error.
    void commit();

private:
    std::string destination_;
    std::unique_ptr<LockedFile> file_;
    bool committed_ = false;
};

// A hidden folder beside destinations, removed with what it still holds
// when the object goes.
class StagingDirectory {
public:
    // Creates it inside `destination_dir` ("" for the current directory).
    // Throws zhost::Error when it cannot be created.
    explicit StagingDirectory(const std::string& destination_dir);
    ~StagingDirectory();
    StagingDirectory(const StagingDirectory&) = delete;
    StagingDirectory& operator=(const StagingDirectory&) = delete;

    // The folder, ending in '/'; relative when `destination_dir` is, since
    // servers' name buffers are short.
    const std::string& path() const { return path_; }

private:
    std::unique_ptr<LockedFile> lock_;  // "FOLDER.lock"
    std::string path_;
};

// Files staged for destinations in any folders, committed in groups.
class StagedFiles {
public:
    StagedFiles() = default;
    StagedFiles(const StagedFiles&) = delete;
    StagedFiles& operator=(const StagedFiles&) = delete;

    // Where to write `destination` until the next commit; notes the pair.
    // Throws zhost::Error for a destination that cannot be replaced.
    std::string stage(const std::string& destination);
    // Notes a file already written at `staged` (inside a folder given by
    // staging_base) for `destination`. Throws as stage() does.
    void add(const std::string& staged, const std::string& destination);
    // The staged name for `base`, a path prefix (a saver's base name): the
    // staging folder beside it and its file part.
    std::string staging_base(const std::string& base);
    // The staged path of `destination`, or empty when none was noted.
    std::string staged_path(const std::string& destination) const;

    // Moves every file noted since the last commit into place, in the
    // order noted, once all their destinations have passed the checks.
    // Throws zhost::Error naming the destination that failed.
    void commit();

    // `text` (a message) with staged names replaced by their destinations.
    std::string shown(std::string text) const;

    // Runs `write(staged)` for `destination`; its zhost::Error names the
    // destination instead of the staged file.
    template <typename Write>
    void write(const std::string& destination, Write write);

private:
    StagingDirectory& folder_for(const std::string& destination);

    struct Entry {
        std::string staged;
        std::string destination;
    };
    std::map<std::string, std::unique_ptr<StagingDirectory>> folders_;  // by destination folder
    std::vector<Entry> pending_;
    std::vector<std::pair<std::string, std::string>> names_;  // staging folders and bases, as shown
};

template <typename Write>
void StagedFiles::write(const std::string& destination, Write write) {
    const std::string staged = stage(destination);
    try {
        write(staged);
    } catch (const UsageError&) {
        throw;
    } catch (const Error& error) {
        throw Error(shown(error.what()), error.cause());
    }
}

}  // namespace zhost
