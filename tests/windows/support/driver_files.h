// SPDX-License-Identifier: MIT
// The built files the DLL tests use, all in the test programs' folder.
#pragma once

#include <string>

#include "support/win_test_support.h"

namespace torvane::wintest {

// The library as shipped, and its copy under the second model name.
inline std::string shippedDll() { return programDir() + "RM735.dll"; }
inline std::string shippedSecondModelDll() { return programDir() + "KT918.dll"; }
// The same library with the device-call hook and the test exports.
inline std::string testDriverDll() { return programDir() + "torvane_test_driver.dll"; }
// The miniature front end of dll_host.cpp.
inline std::string dllHost() { return programDir() + "torvane_dll_host.exe"; }

} // namespace torvane::wintest
