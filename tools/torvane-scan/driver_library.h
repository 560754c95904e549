// SPDX-License-Identifier: MIT
// The client layer's driver library loader, under torvane-scan's names.
#pragma once

#include "client/driver_library.h"

namespace torvane::scan {

using client::DriverApi;
using client::DriverLibrary;
using client::executableDir;
using client::librarySearchList;

} // namespace torvane::scan
