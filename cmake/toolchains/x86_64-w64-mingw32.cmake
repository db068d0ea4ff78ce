# 64-bit Windows (the host's 64-bit build): x86_64-w64-mingw32.
set(OBK_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
