# SPDX-License-Identifier: MIT
# Cross build of the Windows x64 DLL with mingw-w64. Test programs run under
# Wine through scripts/wine-run.sh, which the Windows tests name as their
# emulator.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TORVANE_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
