// Output files that appear all together or not at all: they are written into
// a hidden directory beside their destination and renamed into place by
// commit(). Until then the directory and everything in it are removed when
// the object goes, so a failure part way leaves no output behind.
#pragma once

#include <string>
#include <vector>

namespace zhost {

class StagingDirectory {
public:
    // Creates the hidden directory inside `destination_dir` ("" for the
    // current directory). Throws zhost::Error when it cannot be created.
    explicit StagingDirectory(const std::string& destination_dir);
    ~StagingDirectory();
    StagingDirectory(const StagingDirectory&) = delete;
    StagingDirectory& operator=(const StagingDirectory&) = delete;

    // The hidden directory, ending in '/'.
    const std::string& path() const { return path_; }

    // Notes that the staged file `staged` (inside path()) becomes `destination`.
    void add(std::string staged, std::string destination);
    // Renames every noted file into place, in the order noted. Throws
    // zhost::Error when a rename fails; the files not yet renamed are removed.
    void commit();

private:
    struct Entry {
        std::string staged;
        std::string destination;
    };
    std::string path_;
    std::vector<Entry> entries_;
};

}  // namespace zhost
