#include "platform_support.h"

#include <gtest/gtest.h>

#include <random>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <io.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace test {

#if defined(_WIN32)

namespace {

// The C runtime's descriptors lie below this bound.
constexpr int CRT_DESCRIPTORS = 2048;

bool descriptor_open(int descriptor) { return ::_get_osfhandle(descriptor) != -1; }

// The full name of an open file, as "\\?\C:\..." .
std::wstring final_name(int descriptor) {
    std::wstring name(1024, L'\0');
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(descriptor));
    const DWORD length = ::GetFinalPathNameByHandleW(handle, name.data(), DWORD(name.size()), 0);
    if (length == 0 || length >= name.size()) return {};
    name.resize(length);
    return name.starts_with(L"\\\\?\\") ? name.substr(4) : name;
}

}  // namespace

std::size_t open_descriptors() {
    std::size_t count = 0;
    for (int descriptor = 0; descriptor < CRT_DESCRIPTORS; ++descriptor) count += descriptor_open(descriptor);
    return count;
}

int descriptor_of(const fs::path& path) {
    std::error_code error;
    const fs::path target = fs::canonical(path, error);
    if (error) return -1;
    for (int descriptor = 0; descriptor < CRT_DESCRIPTORS; ++descriptor) {
        if (descriptor_open(descriptor) && ::lstrcmpiW(final_name(descriptor).c_str(), target.c_str()) == 0) {
            return descriptor;
        }
    }
    return -1;
}

int64_t descriptor_position(int descriptor) { return ::_lseeki64(descriptor, 0, SEEK_CUR); }

// The C runtime reads a file through a buffer of 4 KiB whatever the disk.
std::size_t stream_buffer_size(const fs::path&) { return 4096; }

std::FILE* open_file(const fs::path& path, const char* mode) {
    const std::wstring wide_mode(mode, mode + std::char_traits<char>::length(mode));
    return ::_wfopen(path.c_str(), wide_mode.c_str());
}

std::FILE* pipe_holding(const std::vector<unsigned char>&) { return nullptr; }

#else

std::size_t open_descriptors() {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

int descriptor_of(const fs::path& path) {
    std::error_code error;
    const auto target = fs::canonical(path, error);
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", error)) {
        std::error_code link_error;
        if (fs::read_symlink(entry.path(), link_error) == target && !link_error) {
            return std::stoi(entry.path().filename().string());
        }
    }
    return -1;
}

int64_t descriptor_position(int descriptor) { return ::lseek(descriptor, 0, SEEK_CUR); }

std::size_t stream_buffer_size(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? std::size_t(info.st_blksize) : BUFSIZ;
}

std::FILE* open_file(const fs::path& path, const char* mode) { return std::fopen(path.c_str(), mode); }

std::FILE* pipe_holding(const std::vector<unsigned char>& bytes) {
    // Below the pipe's capacity (64 KiB on Linux): the write cannot block.
    int ends[2];
    if (bytes.size() > 32 * 1024 || ::pipe(ends) != 0) return nullptr;
    const bool written = ::write(ends[1], bytes.data(), bytes.size()) == ssize_t(bytes.size());
    ::close(ends[1]);
    std::FILE* stream = written ? ::fdopen(ends[0], "rb") : nullptr;
    if (stream == nullptr) ::close(ends[0]);
    return stream;
}

#endif

fs::path make_temp_directory() {
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (;;) {
        char name[32];
        std::snprintf(name, sizeof name, "obk-test-%016llx", static_cast<unsigned long long>(random()));
        const fs::path path = fs::temp_directory_path() / name;
        if (fs::create_directory(path)) return path;
    }
}

void skip_case(const std::string& what, const std::string& reason) {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    // Not gtest's "[  SKIPPED ]" line: ctest would then count the whole test
    // as skipped and hide a failure of its other cases.
    std::printf("case skipped: %s.%s, \"%s\": %s\n", test->test_suite_name(), test->name(), what.c_str(),
                reason.c_str());
}

}  // namespace test
