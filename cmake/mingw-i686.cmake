# Toolchain for the shipped 32-bit companion.exe (MinGW-w64 i686, posix threads).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(COMPANION_MINGW_TRIPLE i686-w64-mingw32)
set(COMPANION_WINE_BITS 32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
