#include "host/platform.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstdint>

namespace host::platform {

#if defined(_WIN32)

namespace {

// The text of a Windows error code, without the line break it ends with.
std::string error_text(DWORD code) {
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string reason = length > 0 ? std::string(text, length) : "error " + std::to_string(code);
    ::LocalFree(text);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' ')) {
        reason.pop_back();
    }
    return reason;
}

}  // namespace

std::filesystem::path native_path(const std::string& name) {
    if (name.empty()) return {};
    const int size = static_cast<int>(name.size());
    const int length = ::MultiByteToWideChar(CP_ACP, 0, name.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, name.data(), size, wide.data(), length);
    return wide;
}

std::string narrow_name(const std::filesystem::path& path) {
    const std::wstring& wide = path.native();
    if (wide.empty()) return {};
    const int size = static_cast<int>(wide.size());
    const int length = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    std::string name(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, wide.data(), size, name.data(), length, nullptr, nullptr);
    return name;
}

void* load_library(const std::string& path, std::string& reason) {
    // No "cannot find the library" dialog: a failure is reported, not shown.
    const UINT previous_mode = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE library = ::LoadLibraryW(native_path(path).c_str());
    const DWORD error = ::GetLastError();
    ::SetErrorMode(previous_mode);
    if (library == nullptr) {
        reason = error_text(error);
        // Texts such as "%1 is not a valid Win32 application" name the file.
        if (const auto at = reason.find("%1"); at != std::string::npos) reason.replace(at, 2, "the file");
    }
    return reinterpret_cast<void*>(library);
}

void* find_symbol(void* library, const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

void unload_library(void* library) { ::FreeLibrary(static_cast<HMODULE>(library)); }

std::filesystem::path program_path() {
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0) return {};
        if (length < name.size()) return std::filesystem::path(name.substr(0, length));
        name.resize(name.size() * 2);
    }
}

#else

std::filesystem::path native_path(const std::string& name) { return name; }

std::string narrow_name(const std::filesystem::path& path) { return path.string(); }

void* load_library(const std::string& path, std::string& reason) {
    // dlopen needs a slash to take the name as a path rather than a library name.
    const std::string load_path = path.find('/') == std::string::npos ? "./" + path : path;
    void* library = ::dlopen(load_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* text = ::dlerror();
        reason = text ? text : "unknown error";
    }
    return library;
}

void* find_symbol(void* library, const char* name) { return ::dlsym(library, name); }

void unload_library(void* library) { ::dlclose(library); }

std::filesystem::path program_path() {
    std::error_code error;
    std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : program;
}

#endif

void advise_huge_pages([[maybe_unused]] void* memory, [[maybe_unused]] std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
    // Below this a buffer is not worth a system call: it spans few huge pages.
    constexpr std::size_t min_bytes = std::size_t{8} << 20;
    if (bytes < min_bytes) return;
    const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto start = (reinterpret_cast<uintptr_t>(memory) + page - 1) / page * page;
    const auto end = (reinterpret_cast<uintptr_t>(memory) + bytes) / page * page;
    if (end > start) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#endif
}

}  // namespace host::platform
