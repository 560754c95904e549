// SPDX-License-Identifier: MIT
// Why a scanner attached to USB may be invisible to the driver: its device
// node is not open to this user. The driver can only say "no scanner".
#pragma once

#include <string>

namespace torvane::scan {

// Words telling the user how to get access when a scanner of the vendor is
// attached but its device node refuses this user; empty otherwise.
std::string usbAccessHint();

} // namespace torvane::scan
