# Shared part of the two mingw-w64 toolchains. The including file sets
# OBK_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model: the tests and the host layer use std::thread, which
# the win32 model of this compiler generation lacks. Its winpthread is linked
# statically (see the top-level CMakeLists.txt), so nothing of it is imported.
set(CMAKE_C_COMPILER ${OBK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OBK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${OBK_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${OBK_MINGW_TRIPLE}-objdump CACHE FILEPATH "objdump of the mingw binutils")

set(CMAKE_FIND_ROOT_PATH /usr/${OBK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under wine, headless and with a time limit.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../scripts/wine-run.sh)
