// SPDX-License-Identifier: MIT
// The one table from the driver's error codes to TWAIN condition codes and
// the device events they are.
#pragma once

#include <cstdint>

#include "twain/twain_protocol.h"

namespace torvane::twain {

TW_UINT16 conditionCodeOf(int32_t driverError);

// No device event: the failure is not about the device.
constexpr TW_UINT16 kNoDeviceEvent = 0xFFFF;
// The CAP_DEVICEEVENT event a failure is: the scanner gone or offline, a
// jam, a double feed.
TW_UINT16 deviceEventOf(int32_t driverError);

} // namespace torvane::twain
