// SPDX-License-Identifier: MIT
// POSIX: name of the shared-memory object that holds the device event, the
// scan-busy flag and the exchange lock (tests remove it after a run).
#pragma once

#include <string>

namespace torvane::platform {

// "/TQX5800", with ".<TORVANE_INSTANCE>" appended when that variable is set.
std::string sharedStateName();

} // namespace torvane::platform
