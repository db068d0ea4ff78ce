#include "zhost/staging.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "zhost/error.h"

namespace zhost {

namespace fs = std::filesystem;

StagingDirectory::StagingDirectory(const std::string& destination_dir) {
    std::string pattern = destination_dir.empty() ? std::string(".") : destination_dir;
    if (pattern.back() != '/') pattern += '/';
    pattern += ".zhXXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        const std::string shown = destination_dir.empty() ? "." : destination_dir;
        throw Error(shown + ": cannot write there: " + std::strerror(errno));
    }
    // Keep the name relative when the destination is: callers pass it to
    // servers whose name buffers are short.
    path_ = destination_dir.empty() ? pattern.substr(2) + "/" : pattern + "/";
}

StagingDirectory::~StagingDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void StagingDirectory::add(std::string staged, std::string destination) {
    entries_.push_back({std::move(staged), std::move(destination)});
}

void StagingDirectory::commit() {
    for (const Entry& entry : entries_) {
        std::error_code error;
        fs::rename(entry.staged, entry.destination, error);
        if (error) throw Error(entry.destination + ": cannot write: " + error.message());
    }
    entries_.clear();
}

}  // namespace zhost
