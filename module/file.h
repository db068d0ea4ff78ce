// The owner of a standard stream: closes it when it goes, on every path.
// Where the close result matters (a file written), release the stream and
// check what fclose returns.
#pragma once

#include <cstdio>
#include <memory>

struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

using File = std::unique_ptr<std::FILE, FileClose>;
