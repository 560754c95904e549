# SPDX-License-Identifier: MIT
# Cross build of the 32-bit (x86) Windows DLL and data source with mingw-w64,
# for 32-bit TWAIN applications (Debian package g++-mingw-w64-i686-posix).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TORVANE_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
# SSE2 arithmetic, as on x64: the x87 unit's excess precision would change
# the bytes of the floating-point image code (every CPU that runs Windows 8 or
# later has SSE2).
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
