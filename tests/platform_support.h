// What the tests need of the operating system, on POSIX systems and on
// Windows: the C library's open descriptors, a file's stream buffer size,
// files by path, fresh directories.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace test {

// Descriptors this process holds open (POSIX: the kernel's table; Windows:
// the C runtime's, which the module's streams use too).
std::size_t open_descriptors();

// The descriptor this process holds open on `path`, or -1.
int descriptor_of(const std::filesystem::path& path);

// The position of an open descriptor.
int64_t descriptor_position(int descriptor);

// The size of the buffer through which the C library streams `path`.
std::size_t stream_buffer_size(const std::filesystem::path& path);

// fopen of a path in the system's own encoding of names.
std::FILE* open_file(const std::filesystem::path& path, const char* mode);

// The read end of a pipe that holds `bytes` (at most 32 KiB) and whose
// write end is closed: a stream that cannot be moved. Null where the system
// offers no such stream (Windows).
std::FILE* pipe_holding(const std::vector<unsigned char>& bytes);

// A new, empty directory under the system's temporary directory.
std::filesystem::path make_temp_directory();

// Reports one case of a table that cannot run on this system, the way a
// skipped test is reported: skipped cases are never dropped silently.
void skip_case(const std::string& what, const std::string& reason);

}  // namespace test
