// What the host layer needs of the operating system: loading a module file
// and finding a symbol in it, the program's own path, and the names of files
// as the system takes them. The one place where the host layer differs
// between POSIX systems (dlopen) and Windows (LoadLibrary).
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

// Thread-local variables of the host layer, which is linked into the
// program itself: in ELF programs the initial-exec model reaches them
// without a call. PE has no such model.
#if defined(__ELF__)
#define OBK_PROGRAM_TLS __attribute__((tls_model("initial-exec")))
#else
#define OBK_PROGRAM_TLS
#endif

namespace host::platform {

// File names in the host layer are texts of the encoding that the module's
// C library takes, since the host hands them on to the module: on Windows
// the ANSI code page, elsewhere the bytes the file system takes. These
// convert between such a name and the system's own path, leaving every
// character as it is (std::filesystem's own narrow conversions on Windows
// do not round-trip).
std::filesystem::path native_path(const std::string& name);
std::string narrow_name(const std::filesystem::path& path);

// Loads a library, or returns null with the system's reason in `reason`.
void* load_library(const std::string& path, std::string& reason);

// The address of an exported symbol, or null.
void* find_symbol(void* library, const char* name);

void unload_library(void* library);

// Asks the system to back the pages of [memory, memory + bytes) with huge
// pages where it can: a large buffer then takes one page fault per 2 MB
// instead of one per 4 KB. Only advice; nothing happens where the system
// has no such pages.
void advise_huge_pages(void* memory, std::size_t bytes);

// The running program's own file, or an empty path when it cannot be found.
std::filesystem::path program_path();

}  // namespace host::platform
