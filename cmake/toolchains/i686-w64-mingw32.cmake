# 32-bit Windows (the host's own 32-bit build): i686-w64-mingw32.
set(OBK_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)

# Floating point in SSE2 registers, as on x86-64: the x87 unit keeps excess
# precision, and the module must compute the same bits on every build. The
# stack is realigned on entry because a 32-bit Windows caller only keeps it
# 4-byte aligned.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")

include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
