// Output files that appear whole or not at all. Each is written under a
// hidden name beside its destination and moved into place only once it is
// complete; a group of files (one frame's depth file and pictures, or all
// the depth files of `zhost save`) is moved together once the group has
// succeeded.
//
// Moving into place writes through a symbolic link to its target (the link
// stays) and keeps the mode of the file it replaces, as `cp` does.
//
// Hidden names begin with ".zhost-" and carry the writing process's
// identity (host, boot, process id and start time), so that a later run can
// tell that their writer is gone (killed, say) and remove them.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "zhost/error.h"

namespace zhost {

// Removes the hidden files and folders in `folder` ("" for the current one)
// that a zhost process of this machine left behind and that no running
// process owns. Each folder is looked at once per process.
void remove_stale_leftovers(const std::string& folder);

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
    explicit PendingFile(std::string destination);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    const std::string& temporary() const { return temporary_; }
    const std::string& destination() const { return destination_; }
    // Moves the file into place; throws zhost::Error.
    void commit();

private:
    std::string destination_;
    std::string temporary_;
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
    std::string path_;
};

// Files staged for destinations in any folders, committed in groups.
class StagedFiles {
public:
    StagedFiles() = default;
    StagedFiles(const StagedFiles&) = delete;
    StagedFiles& operator=(const StagedFiles&) = delete;

    // Where to write `destination` until the next commit; notes the pair.
    std::string stage(const std::string& destination);
    // Notes a file already written at `staged` (inside a folder given by
    // staging_base) for `destination`.
    void add(const std::string& staged, const std::string& destination);
    // The staged name for `base`, a path prefix (a saver's base name): the
    // staging folder beside it and its file part.
    std::string staging_base(const std::string& base);
    // The staged path of `destination`, or empty when none was noted.
    std::string staged_path(const std::string& destination) const;

    // Moves every file noted since the last commit into place, in the
    // order noted. Throws zhost::Error naming the destination that failed.
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
        throw Error(shown(error.what()));
    }
}

}  // namespace zhost
