# Toolchain for the same sources built 64-bit (MinGW-w64 x86_64, posix threads),
# whose tests run under 64-bit Wine where 32-bit code cannot run.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(COMPANION_MINGW_TRIPLE x86_64-w64-mingw32)
set(COMPANION_WINE_BITS 64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
